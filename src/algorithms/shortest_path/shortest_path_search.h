// Shortest directed path by breadth-first search over an edge list.
//
// Edges are followed from source to target only; parallel edges and
// self-loops change nothing. Among several shortest paths, the one found is
// fixed by the edge order: the first discovery of a node fixes its
// predecessor, and the target is taken when it leaves the queue. Ids need not
// name nodes: an id without outgoing edges simply reaches nothing.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "algorithms/compact_graph.h"

namespace zudizid::algorithms {

struct PathResult {
  std::vector<Uuid> path;  // source first, target last
  double distance = 0;     // edges on the path
};

// Same ids: the one-id path at distance 0.0, whatever the edges.
std::optional<PathResult> shortest_path_search(std::span<const EdgeEnds> edges, const Uuid& source, const Uuid& target);

}  // namespace zudizid::algorithms
