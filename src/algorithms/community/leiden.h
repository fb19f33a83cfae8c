// Leiden-style community detection behind the ZQL function `leiden`: the
// constant Potts model (CPM) with resolution `gamma`, alternating local
// moving and refinement on the node graph itself (no aggregation, no
// randomness).
//
// Quality of a partition: H = sum over communities of
//   E_c - gamma * n_c * (n_c - 1) / 2
// with E_c the distinct adjacent pairs of members (self-loops not counted),
// evaluated as E - gamma * P over the totals E and P, so equal partitions
// always score equal.
//
// detect(): node i of the ascending id order starts in community i. Each
// iteration runs local moving (passes over the id order; a node joins the
// neighbouring community of highest gain
//   (w(v, c) - w(v, h)) + gamma * ((n_h - 1) - n_c)
// when it exceeds `tolerance`, candidates in ascending id, the first of equal
// gains winning), then refine(); it stops after an iteration that neither
// moved nor refined anything, or after `max_iterations`. The partition
// returned is the best by H among those left by every local-moving phase and
// every refinement (the latest of equal H), numbered densely from 0 in
// ascending community id order: refinement may dissolve or split what local
// moving built, and the last partition need not be the best one reached.
//
// refine(): every community of two or more members, in ascending id, is
// rebuilt from singletons by greedy merges under the CPM well-connectedness
// conditions, then kept (one sub-community), dissolved (no merge) or split.
// Starting sub-community ids and the ids of split parts come from one counter
// that starts at the node count and carries over between refinements, so an
// id it hands out is never held by another community.
//
// Every joined pair weighs 1.0 (parallel and opposite edges once); edge ends
// that are no node have adjacency but never a community.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "algorithms/compact_graph.h"

namespace zudizid::algorithms::community {

// The working state of one detection, on the positions of a CompactGraph.
struct LeidenState {
  CompactGraph graph;
  Adjacency adjacency;              // neighbour sets of every position
  std::vector<uint32_t> order;      // node positions ascending by id
  std::vector<uint64_t> community;  // per node position
  std::vector<uint64_t> size;       // per community id; emptied communities keep 0
  uint64_t next_id = 0;             // the refinement's id counter

  // Singletons in id order: node order[i] in community i.
  static LeidenState start(std::span<const Uuid> nodes, std::span<const EdgeEnds> edges);
  uint32_t node_count() const { return graph.node_count; }
  // Moves node `v` to community `c`, keeping the sizes.
  void move(uint32_t v, uint64_t c);
  double quality(double gamma) const;
};

class LeidenCommunity {
 public:
  double gamma = 0.1;
  uint64_t max_iterations = 10;
  double tolerance = 1e-9;

  static LeidenCommunity with_gamma(double gamma) {
    LeidenCommunity l;
    l.gamma = gamma;
    return l;
  }

  NodeMap<uint64_t> detect(std::span<const Uuid> nodes, std::span<const EdgeEnds> edges) const;

  // One local-moving phase; true when any node moved.
  bool move_nodes(LeidenState& state) const;
  // One refinement; true when any community was dissolved or split.
  static bool refine(LeidenState& state, double gamma);
};

}  // namespace zudizid::algorithms::community
