// The plain property lookup of the engine handle: the first node of a
// property-index entry, the value always taken as a string.
#pragma once

#include <string_view>

#include "graph/graph.h"

namespace zudizid::graph {

// "Node not found: with property {}={}" when the index has no entry.
DbResult<Node> find_node_by_property(Graph& graph, std::string_view property, std::string_view value);

}  // namespace zudizid::graph
