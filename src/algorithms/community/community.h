// Community detection behind the ZQL function `community`: single-level
// greedy local moving on a modularity gain with a resolution factor.
//
// Nodes are visited in ascending id order (16 bytes, unsigned); node i of
// that order starts in community i. A pass moves each node, in turn, to the
// neighbouring community of highest gain
//   (k_in_c - k_in_cur) / 2m - ((sigma_c - sigma_cur + k_i) * resolution * k_i) / (2m)^2
// (candidates in ascending community number, the first of equal gains wins)
// when that gain exceeds `tolerance`; a move is seen at once by later nodes.
// Passes repeat until one moves nothing, at most `max_iterations` times.
// Community numbers are then made dense from 0 in ascending order.
//
// Every pair of ids joined by at least one edge weighs 1.0 each way (a
// self-loop once); an edge end that is no node has a degree and adds to the
// total weight, but never gets a community. All sums are whole numbers, so
// the result depends only on the node id set and the set of joined pairs.
// One entry per distinct node id.
#pragma once

#include <cstdint>
#include <span>

#include "algorithms/compact_graph.h"

namespace zudizid::algorithms::community {

struct CommunityConfig {
  double resolution = 1.0;
  uint64_t max_iterations = 100;
  double tolerance = 0.0001;
};

NodeMap<uint64_t> detect_communities(std::span<const Uuid> nodes, std::span<const EdgeEnds> edges,
                                     const CommunityConfig& config);

// Numbers the distinct values of `community` densely from 0 in ascending
// order and returns the renumbered values (`bound` exceeds every value).
std::vector<uint64_t> dense_numbers(const std::vector<uint64_t>& community, uint64_t bound);

}  // namespace zudizid::algorithms::community
