#include "query/zql/executor/aggregations/label_propagation.h"

#include <limits>

namespace zudizid::query::zql::executor::aggregations {

using algorithms::Adjacency;
using algorithms::CompactEdge;
using algorithms::CompactGraph;

algorithms::NodeMap<uint64_t> label_propagation(std::span<const algorithms::Uuid> nodes,
                                                std::span<const algorithms::EdgeEnds> edges) {
  constexpr int kMaxPasses = 3;
  CompactGraph g = CompactGraph::build(nodes, edges);
  const uint32_t n = g.node_count;
  Adjacency around = Adjacency::both_directions(
      n, g.edges, [&](const CompactEdge& e) { return g.is_node(e.source) && g.is_node(e.target); });
  around.sort_unique();

  std::vector<uint64_t> labels(n);
  for (uint32_t v = 0; v < n; ++v) labels[v] = v;
  std::vector<uint64_t> next;
  std::vector<uint64_t> tally(n, 0);
  std::vector<uint64_t> seen;
  for (int pass = 0; pass < kMaxPasses; ++pass) {
    next = labels;
    bool changed = false;
    for (uint32_t u = 0; u < n; ++u) {
      auto row = around.row(u);
      if (row.empty()) continue;
      seen.clear();
      for (uint32_t v : row) {
        if (tally[labels[v]]++ == 0) seen.push_back(labels[v]);
      }
      uint64_t best = 0, best_count = 0;
      for (uint64_t label : seen) {
        const uint64_t count = tally[label];
        if (count > best_count || (count == best_count && label < best)) {
          best = label;
          best_count = count;
        }
        tally[label] = 0;
      }
      if (best != labels[u]) {
        next[u] = best;
        changed = true;
      }
    }
    labels.swap(next);
    if (!changed) break;
  }

  constexpr uint64_t kUnnumbered = std::numeric_limits<uint64_t>::max();
  std::vector<uint64_t> number(n, kUnnumbered);
  uint64_t next_number = 0;
  algorithms::NodeMap<uint64_t> result;
  result.values.resize(n);
  for (uint32_t v = 0; v < n; ++v) {
    uint64_t& slot = number[labels[v]];
    if (slot == kUnnumbered) slot = next_number++;
    result.values[v] = slot;
  }
  result.keys = g.take_node_index();
  return result;
}

}  // namespace zudizid::query::zql::executor::aggregations
