#include "algorithms/degree/degree.h"

namespace zudizid::algorithms {

NodeMap<double> degree(std::span<const Uuid> nodes, std::span<const EdgeEnds> edges, const DegreeConfig& config) {
  NodeMap<double> result;
  result.keys = IdIndex(nodes.size());
  for (const Uuid& id : nodes) result.keys.insert(id);
  const size_t n = result.keys.size();
  result.values.assign(n, 0.0);
  auto count = [&](const Uuid& id) {
    uint32_t p = result.keys.insert(id);
    if (p == result.values.size()) result.values.push_back(0.0);
    result.values[p] += 1.0;
  };
  for (const EdgeEnds& e : edges) {
    if (config.direction != DegreeDirection::In) count(e.source);
    if (config.direction != DegreeDirection::Out) count(e.target);
  }
  if (config.normalized && n >= 2) {
    const double divisor = static_cast<double>(static_cast<int64_t>(n) - 1);
    for (double& v : result.values) v /= divisor;
  }
  return result;
}

}  // namespace zudizid::algorithms
