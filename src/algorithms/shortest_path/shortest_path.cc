#include "algorithms/shortest_path/shortest_path.h"

#include "algorithms/blocking_task.h"
#include "graph/view/graph_view.h"

namespace zudizid::algorithms {

DbResult<std::optional<PathResult>> shortest_path(const graph::Graph& graph, const Uuid& source, const Uuid& target) {
  if (source == target) return PathResult{{source}, 0.0};
  auto edges = graph::GraphView::whole_graph(graph).edges();
  if (!edges) return std::unexpected(std::move(edges.error()));
  return run_blocking<std::optional<PathResult>>(
      "shortest path join error: {}",
      [edges = std::move(*edges), source, target] { return shortest_path_search(edges, source, target); });
}

}  // namespace zudizid::algorithms
