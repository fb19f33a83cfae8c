// Local clustering coefficient, edge direction ignored: for every node, the
// share of the pairs of its distinct neighbours that are linked themselves,
// links / (k * (k - 1) / 2), and 0.0 when it has fewer than two neighbours.
//
// Parallel edges and opposite edges count as one adjacency; a self-loop makes
// a node its own neighbour (so a node with a self-loop and one other
// neighbour scores 1.0). Edge ends that are no node still serve as
// neighbours. One entry per distinct node id.
#pragma once

#include <span>

#include "algorithms/compact_graph.h"

namespace zudizid::algorithms {

NodeMap<double> clustering(std::span<const Uuid> nodes, std::span<const EdgeEnds> edges);

}  // namespace zudizid::algorithms
