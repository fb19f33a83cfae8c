#include "algorithms/pagerank/pagerank.h"

#include <cmath>

#include "algorithms/parallel.h"
#include "common/log.h"

namespace zudizid::algorithms {

namespace {

constexpr const char* kTarget = "zudizid::algorithms::pagerank";

// In-edges per node (sources in edge order) and out-degrees of the nodes.
struct LinkTable {
  Adjacency incoming;
  std::vector<double> out_degree;
};

LinkTable link_table(const CompactGraph& g) {
  const uint32_t n = g.node_count;
  LinkTable t;
  std::vector<uint64_t> out(n, 0);
  for (const CompactEdge& e : g.edges) {
    if (g.is_node(e.source)) ++out[e.source];
  }
  t.incoming = Adjacency::directed(n, g.edges, Adjacency::Direction::Backward,
                                   [&](const CompactEdge& e) { return g.is_node(e.source) && g.is_node(e.target); });
  t.out_degree.resize(n);
  for (uint32_t v = 0; v < n; ++v) t.out_degree[v] = static_cast<double>(out[v]);
  return t;
}

}  // namespace

NodeMap<double> pagerank(std::span<const Uuid> nodes, std::span<const EdgeEnds> edges, const PageRankConfig& config) {
  CompactGraph g = CompactGraph::build(nodes, edges);
  const uint32_t n = g.node_count;
  NodeMap<double> result;
  if (n == 0) return result;
  const double count = static_cast<double>(n);
  std::vector<double> ranks(n, 1.0 / count);

  if (config.max_iterations > 0) {
    LinkTable links = link_table(g);
    const double base = (1.0 - config.damping) / count;
    std::vector<double> next(n);
    // share[s] = ranks[s] / out_degree(s): the same quotient the sum of every
    // target of s would form.
    std::vector<double> share(n);
    const size_t blocks = blocks_for(n, 4096);
    for (uint64_t iteration = 1;; ++iteration) {
      for_each_block(blocks, [&](size_t b) {
        auto [lo, hi] = block_range(n, blocks, b);
        for (size_t v = lo; v < hi; ++v) share[v] = links.out_degree[v] > 0 ? ranks[v] / links.out_degree[v] : 0.0;
      });
      for_each_block(blocks, [&](size_t b) {
        auto [lo, hi] = block_range(n, blocks, b);
        for (size_t v = lo; v < hi; ++v) {
          double sum = 0;
          for (uint32_t s : links.incoming.row(static_cast<uint32_t>(v))) sum += share[s];
          next[v] = sum * config.damping + base;
        }
      });
      double change = 0;
      for (uint32_t v = 0; v < n; ++v) change += std::abs(next[v] - ranks[v]);
      ranks.swap(next);
      if (change < config.tolerance) {
        ZLOG(Info, kTarget, "PageRank converged after {} iterations", iteration);
        break;
      }
      if (iteration == config.max_iterations) break;
    }
  }

  result.keys = g.take_node_index();
  result.values = std::move(ranks);
  return result;
}

}  // namespace zudizid::algorithms
