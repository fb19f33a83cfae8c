// shortest_path(graph, source, target): the shortest directed path over
// every stored edge (shortest_path_search.h), searched on the blocking pool.
// Same ids answer ([source], 0.0) without reading anything. Errors: the edge
// scan's error unchanged; a failed search task is DbError::Message
// "shortest path join error: {}". No path (or ids that name no node) is
// nullopt, not an error.
#pragma once

#include <optional>

#include "algorithms/shortest_path/shortest_path_search.h"
#include "storage/db_error.h"

namespace zudizid::graph {
class Graph;
}

namespace zudizid::algorithms {

DbResult<std::optional<PathResult>> shortest_path(const graph::Graph& graph, const Uuid& source, const Uuid& target);

}  // namespace zudizid::algorithms
