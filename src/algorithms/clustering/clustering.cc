#include "algorithms/clustering/clustering.h"

#include "algorithms/parallel.h"

namespace zudizid::algorithms {

namespace {

// Elements of sorted `a` that also lie in sorted `b`.
uint64_t intersection_size(std::span<const uint32_t> a, std::span<const uint32_t> b) {
  uint64_t count = 0;
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (a[i] < b[j]) {
      ++i;
    } else if (b[j] < a[i]) {
      ++j;
    } else {
      ++count;
      ++i;
      ++j;
    }
  }
  return count;
}

}  // namespace

NodeMap<double> clustering(std::span<const Uuid> nodes, std::span<const EdgeEnds> edges) {
  CompactGraph g = CompactGraph::build(nodes, edges);
  const uint32_t n = g.node_count;
  Adjacency adj = Adjacency::both_directions(g.index.size(), g.edges);
  adj.sort_unique();

  std::vector<double> values(n, 0.0);
  const size_t blocks = blocks_for(n, 1024);
  for_each_block(blocks, [&](size_t b) {
    auto [lo, hi] = block_range(n, blocks, b);
    for (size_t u = lo; u < hi; ++u) {
      auto around = adj.row(static_cast<uint32_t>(u));
      const uint64_t k = around.size();
      if (k < 2) continue;
      // Each linked pair {a, c} with a < c is counted once, at a.
      uint64_t links = 0;
      for (size_t i = 0; i + 1 < around.size(); ++i)
        links += intersection_size(adj.row(around[i]), around.subspan(i + 1));
      const uint64_t pairs = k * (k - 1) / 2;
      values[u] = static_cast<double>(links) / static_cast<double>(pairs);
    }
  });

  NodeMap<double> result;
  result.keys = g.take_node_index();
  result.values = std::move(values);
  return result;
}

}  // namespace zudizid::algorithms
