#include "algorithms/shortest_path/shortest_path_search.h"

#include <algorithm>

namespace zudizid::algorithms {

std::optional<PathResult> shortest_path_search(std::span<const EdgeEnds> edges, const Uuid& source,
                                               const Uuid& target) {
  if (source == target) return PathResult{{source}, 0.0};
  CompactGraph g = CompactGraph::build({}, edges);
  const uint32_t s = g.index.find(source);
  const uint32_t t = g.index.find(target);
  if (s == IdIndex::kAbsent || t == IdIndex::kAbsent) return std::nullopt;

  const size_t n = g.index.size();
  Adjacency out =
      Adjacency::directed(n, g.edges, Adjacency::Direction::Forward, [](const CompactEdge&) { return true; });

  constexpr uint32_t kUnseen = IdIndex::kAbsent;
  std::vector<uint32_t> predecessor(n, kUnseen);
  std::vector<uint32_t> queue{s};
  predecessor[s] = s;
  for (size_t head = 0; head < queue.size(); ++head) {
    const uint32_t u = queue[head];
    if (u == t) {
      std::vector<Uuid> path;
      for (uint32_t v = t; v != s; v = predecessor[v]) path.push_back(g.index.id(v));
      path.push_back(source);
      std::reverse(path.begin(), path.end());
      const double distance = static_cast<double>(path.size() - 1);
      return PathResult{std::move(path), distance};
    }
    for (uint32_t v : out.row(u)) {
      if (predecessor[v] != kUnseen) continue;
      predecessor[v] = u;
      queue.push_back(v);
    }
  }
  return std::nullopt;
}

}  // namespace zudizid::algorithms
