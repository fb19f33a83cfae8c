// Degree centrality: for every node, the edges it touches.
//
// `Both` counts each edge at its source and then at its target (a self-loop
// twice), `In` at its target, `Out` at its source. Every node starts at 0.0;
// an edge end that the direction counts and that is not a node gets an entry
// of its own. With `normalized` and at least two distinct nodes, every entry
// is divided by (node count - 1).
#pragma once

#include <cstdint>
#include <span>

#include "algorithms/compact_graph.h"

namespace zudizid::algorithms {

enum class DegreeDirection : uint8_t { Both = 0, In = 1, Out = 2 };

struct DegreeConfig {
  bool normalized = false;
  DegreeDirection direction = DegreeDirection::Both;
};

NodeMap<double> degree(std::span<const Uuid> nodes, std::span<const EdgeEnds> edges, const DegreeConfig& config);

}  // namespace zudizid::algorithms
