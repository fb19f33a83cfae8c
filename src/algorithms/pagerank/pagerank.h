// PageRank: the share of time a walker following edges forwards spends at
// each node, with damping and no redistribution of what sinks hold.
//
// Every node starts at 1/n. An iteration computes, for each node in list
// order and from the previous iteration's ranks only,
//   new = (sum over its in-edges, in edge order, of rank[s] / out_degree(s))
//         * damping + (1 - damping) / n
// and sums |new - old| in node order; the run stops after the first iteration
// whose sum is below `tolerance` (logged at info under
// "zudizid::algorithms::pagerank" as "PageRank converged after {} iterations")
// or after `max_iterations` (returning the starting ranks when that is 0).
//
// Edges: every edge counts in its source's out-degree, whether or not its
// target is a node; an edge whose source is not a node passes nothing on and
// is otherwise ignored. Ranks need not sum to 1.
//
// Nodes are computed in parallel; every sum keeps the order above, so the
// result is the same on any number of threads. The result has one entry per
// distinct node id (empty for an empty node list).
#pragma once

#include <cstdint>
#include <span>

#include "algorithms/compact_graph.h"

namespace zudizid::algorithms {

struct PageRankConfig {
  double damping = 0.85;
  uint64_t max_iterations = 100;
  double tolerance = 1e-6;
};

NodeMap<double> pagerank(std::span<const Uuid> nodes, std::span<const EdgeEnds> edges, const PageRankConfig& config);

}  // namespace zudizid::algorithms
