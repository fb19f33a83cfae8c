#include "algorithms/betweenness/betweenness.h"

#include <algorithm>

#include "algorithms/parallel.h"

namespace zudizid::algorithms {

namespace {

// The working arrays of one source's search, reset after each source.
struct Search {
  explicit Search(uint32_t n) : sigma(n, 0.0), delta(n, 0.0), distance(n, -1) { order.reserve(n); }

  // Adds the dependencies of every other node on `s` to `into`.
  void run(const Adjacency& adj, uint32_t s, std::vector<double>& into) {
    sigma[s] = 1.0;
    distance[s] = 0;
    order.push_back(s);
    // `order` is the queue (from `head`) and, once drained, the stack.
    for (size_t head = 0; head < order.size(); ++head) {
      uint32_t v = order[head];
      for (uint32_t w : adj.row(v)) {
        if (distance[w] < 0) {
          order.push_back(w);
          distance[w] = distance[v] + 1;
        }
        if (distance[w] == distance[v] + 1) sigma[w] += sigma[v];
      }
    }
    for (size_t i = order.size(); i-- > 0;) {
      uint32_t w = order[i];
      // The predecessors of w are its neighbours one step closer, each as
      // often as the pair is adjacent.
      for (uint32_t v : adj.row(w)) {
        if (distance[v] == distance[w] - 1) delta[v] = (delta[w] + 1.0) * (sigma[v] / sigma[w]) + delta[v];
      }
      if (w != s) into[w] = into[w] + delta[w];
    }
    for (uint32_t v : order) {
      sigma[v] = 0.0;
      delta[v] = 0.0;
      distance[v] = -1;
    }
    order.clear();
  }

  std::vector<double> sigma;
  std::vector<double> delta;
  std::vector<int32_t> distance;
  std::vector<uint32_t> order;
};

}  // namespace

NodeMap<double> betweenness(std::span<const Uuid> nodes, std::span<const EdgeEnds> edges,
                            const BetweennessConfig& config) {
  CompactGraph g = CompactGraph::build(nodes, edges);
  const uint32_t n = g.node_count;
  Adjacency adj = Adjacency::both_directions(
      n, g.edges, [&](const CompactEdge& e) { return g.is_node(e.source) && g.is_node(e.target); });

  // One partial total per block of sources, bounded to ~512 MB in all.
  const size_t max_blocks = std::max<size_t>(1, (size_t{64} << 20) / std::max<size_t>(n, 1));
  const size_t blocks = std::min(blocks_for(n, 64), max_blocks);
  std::vector<std::vector<double>> partial(blocks);
  for_each_block(blocks, [&](size_t b) {
    auto [lo, hi] = block_range(n, blocks, b);
    partial[b].assign(n, 0.0);
    Search search(n);
    for (size_t s = lo; s < hi; ++s) search.run(adj, static_cast<uint32_t>(s), partial[b]);
  });
  std::vector<double> centrality(n, 0.0);
  if (blocks == 1) {
    centrality = std::move(partial[0]);
  } else {
    for (const auto& part : partial) {
      for (uint32_t v = 0; v < n; ++v) centrality[v] += part[v];
    }
  }
  if (config.normalized && n >= 3) {
    const double scale = static_cast<double>(uint64_t{n - 1} * uint64_t{n - 2});
    for (double& c : centrality) c /= scale;
  }

  NodeMap<double> result;
  result.keys = g.take_node_index();
  result.values = std::move(centrality);
  return result;
}

}  // namespace zudizid::algorithms
