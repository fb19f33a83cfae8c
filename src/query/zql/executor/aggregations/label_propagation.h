// Label propagation behind the ZQL function `community_fast`: integer
// counts only, at most three synchronous passes.
//
// The neighbours of a node are the distinct other ends of the edges touching
// it that are nodes themselves (a self-loop makes a node its own neighbour);
// edges leading outside the node list are ignored. Node i of the list (a
// repeated id keeps its first place) starts with label i. A pass gives each
// node with neighbours the most frequent label among them as they stood at
// the start of the pass (the smallest of equally frequent labels); passes
// stop after one that changes nothing, or after the third. Communities are
// numbered from 0 in order of first appearance along the node list, so the
// result depends on the list's order.
#pragma once

#include <span>

#include "algorithms/compact_graph.h"

namespace zudizid::query::zql::executor::aggregations {

algorithms::NodeMap<uint64_t> label_propagation(std::span<const algorithms::Uuid> nodes,
                                                std::span<const algorithms::EdgeEnds> edges);

}  // namespace zudizid::query::zql::executor::aggregations
