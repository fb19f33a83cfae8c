#include "algorithms/compact_graph.h"

#include <algorithm>

#include "algorithms/parallel.h"

namespace zudizid::algorithms {

CompactGraph CompactGraph::build(std::span<const Uuid> nodes, std::span<const EdgeEnds> edges) {
  CompactGraph g;
  g.index = IdIndex(nodes.size());
  for (const Uuid& id : nodes) g.index.insert(id);
  g.node_count = static_cast<uint32_t>(g.index.size());
  // The ends that are nodes are looked up in parallel (finds only); the
  // others are numbered afterwards in one ordered pass, source before
  // target, as inserting edge by edge would number them.
  g.edges.resize(edges.size());
  const size_t blocks = blocks_for(edges.size(), 1 << 15);
  std::vector<char> stray(blocks, 0);
  for_each_block(blocks, [&](size_t b) {
    auto [lo, hi] = block_range(edges.size(), blocks, b);
    for (size_t i = lo; i < hi; ++i) {
      g.edges[i] = {g.index.find(edges[i].source), g.index.find(edges[i].target)};
      stray[b] |= g.edges[i].source == IdIndex::kAbsent || g.edges[i].target == IdIndex::kAbsent;
    }
  });
  for (size_t b = 0; b < blocks; ++b) {
    if (!stray[b]) continue;
    auto [lo, hi] = block_range(edges.size(), blocks, b);
    for (size_t i = lo; i < hi; ++i) {
      CompactEdge& c = g.edges[i];
      if (c.source == IdIndex::kAbsent) c.source = g.index.insert(edges[i].source);
      if (c.target == IdIndex::kAbsent) c.target = g.index.insert(edges[i].target);
    }
  }
  return g;
}

std::vector<uint32_t> CompactGraph::nodes_by_id() const {
  std::vector<uint32_t> order(node_count);
  for (uint32_t v = 0; v < node_count; ++v) order[v] = v;
  // Uuid orders by its bytes, compared unsigned from the first.
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return index.id(a) < index.id(b); });
  return order;
}

std::vector<uint64_t> Adjacency::start_rows(size_t rows) {
  for (size_t v = 0; v < rows; ++v) offsets[v + 1] += offsets[v];
  targets.resize(offsets[rows]);
  return std::vector<uint64_t>(offsets.begin(), offsets.end() - 1);
}

IdIndex CompactGraph::take_node_index() {
  if (index.size() > node_count) return IdIndex::of(std::span(index.ids()).first(node_count));
  return std::move(index);
}

void Adjacency::sort_unique() {
  uint64_t write = 0;
  uint64_t begin = 0;
  for (size_t v = 0; v + 1 < offsets.size(); ++v) {
    uint64_t end = offsets[v + 1];
    auto first = targets.begin() + static_cast<ptrdiff_t>(begin);
    auto last = targets.begin() + static_cast<ptrdiff_t>(end);
    std::sort(first, last);
    last = std::unique(first, last);
    uint64_t row_start = write;
    for (auto it = first; it != last; ++it) targets[write++] = *it;
    begin = end;
    offsets[v] = row_start;
  }
  if (!offsets.empty()) offsets.back() = write;
  targets.resize(write);
  targets.shrink_to_fit();
}

}  // namespace zudizid::algorithms
