#include "algorithms/community/run_leiden.h"

#include "algorithms/blocking_task.h"
#include "algorithms/community/leiden.h"
#include "graph/view/graph_view.h"
#include "graph/view/result_slots.h"

namespace zudizid::algorithms::community {

DbResult<NodeMap<uint64_t>> run_leiden(const graph::Graph& graph) {
  const uint64_t stamp = graph::change_counter(graph);
  auto slots = graph::community_slots(graph);
  if (auto held = slots->leiden.load(stamp)) return std::move(*held);

  const auto view = graph::GraphView::whole_graph(graph);
  auto nodes = view.nodes();
  if (!nodes) return std::unexpected(std::move(nodes.error()));
  NodeMap<uint64_t> result;
  if (!nodes->empty()) {
    auto edges = view.edges();
    if (!edges) return std::unexpected(std::move(edges.error()));
    auto computed = run_blocking<NodeMap<uint64_t>>(
        "leiden detect join error: {}",
        [nodes = std::move(*nodes), edges = std::move(*edges)] { return LeidenCommunity{}.detect(nodes, edges); });
    if (!computed) return std::unexpected(std::move(computed.error()));
    result = std::move(*computed);
  }
  slots->leiden.store(result, stamp);
  return result;
}

}  // namespace zudizid::algorithms::community
