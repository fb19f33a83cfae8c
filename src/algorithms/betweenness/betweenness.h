// Betweenness centrality over the edges taken in both directions (Brandes'
// accumulation from a breadth-first search at every node).
//
// Every adjacency entry counts as a separate shortest path, so parallel edges
// and opposite edges between one pair weigh double; a self-loop never lies on
// a shortest path. Each unordered pair is counted from both ends, so with
// `normalized` and at least 3 distinct nodes the raw value is divided by
// (n - 1) * (n - 2), which puts it in [0, 1].
//
// An edge with an end that is not a node is left out. Sources run in
// parallel in blocks fixed by the node count, and block totals are added in
// block order, so a result never depends on the thread count (with one block,
// below 128 nodes, the sums are exactly those of one sequential run).
// One entry per distinct node id.
#pragma once

#include <span>

#include "algorithms/compact_graph.h"

namespace zudizid::algorithms {

struct BetweennessConfig {
  bool normalized = true;
};

NodeMap<double> betweenness(std::span<const Uuid> nodes, std::span<const EdgeEnds> edges,
                            const BetweennessConfig& config);

}  // namespace zudizid::algorithms
