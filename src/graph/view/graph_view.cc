// The one place the algorithm layer reads graph::Graph.
#include "graph/view/graph_view.h"

#include <mutex>
#include <shared_mutex>

#include "graph/graph.h"

namespace zudizid::graph {

GraphView GraphView::whole_graph(const Graph& graph) { return GraphView(graph, std::nullopt); }

GraphView GraphView::for_nodes(const Graph& graph, std::unordered_set<Uuid> ids) {
  return GraphView(graph, std::move(ids));
}

DbResult<std::vector<Uuid>> GraphView::nodes() const {
  std::vector<Uuid> out;
  if (!ids_) {
    auto all = graph_->storage()->scan_current_nodes();
    if (!all) return std::unexpected(std::move(all.error()));
    out.reserve(all->size());
    for (const Node& n : *all) out.push_back(n.id);
    return out;
  }
  out.reserve(ids_->size());
  for (const Uuid& id : *ids_) {
    if (graph_->storage()->get_node(id)) out.push_back(id);
  }
  return out;
}

DbResult<std::vector<algorithms::EdgeEnds>> GraphView::edges() const {
  std::vector<algorithms::EdgeEnds> out;
  if (!ids_) {
    auto all = graph_->storage()->scan_edges();
    if (!all) return std::unexpected(std::move(all.error()));
    out.reserve(all->size());
    for (const Edge& e : *all) out.push_back({e.source, e.target});
    return out;
  }
  for (const Uuid& id : *ids_) {
    auto listed = graph_->get_outgoing_edges(id);
    if (!listed) continue;
    for (const Edge& e : *listed) {
      if (ids_->count(e.target)) out.push_back({e.source, e.target});
    }
  }
  return out;
}

DbResult<std::vector<Uuid>> get_neighbors(const Graph& graph, const Uuid& node, Direction direction) {
  std::vector<Uuid> outgoing, incoming;
  auto copy_list = [&](const AdjacencyLock& adjacency, std::vector<Uuid>& into) {
    auto it = adjacency.map.find(node);
    if (it != adjacency.map.end()) into = it->second;
  };
  if (direction == Direction::Incoming) {
    std::shared_lock in(graph.incoming_adjacency().mu);
    copy_list(graph.incoming_adjacency(), incoming);
  } else {
    std::shared_lock out(graph.outgoing_adjacency().mu);
    copy_list(graph.outgoing_adjacency(), outgoing);
    if (direction == Direction::Bidirectional) {
      std::shared_lock in(graph.incoming_adjacency().mu);
      copy_list(graph.incoming_adjacency(), incoming);
    }
  }
  std::vector<Uuid> ends;
  ends.reserve(outgoing.size() + incoming.size());
  for (const auto* list : {&outgoing, &incoming}) {
    for (const Uuid& edge_id : *list) {
      auto edge = graph.storage()->get_edge(edge_id);
      if (!edge) return std::unexpected(std::move(edge.error()));
      const bool from_node =
          direction == Direction::Outgoing || (direction == Direction::Bidirectional && edge->source == node);
      ends.push_back(from_node ? edge->target : edge->source);
    }
  }
  return ends;
}

uint64_t change_counter(const Graph& graph) { return graph.graph_version().load(std::memory_order_acquire); }

std::weak_ptr<const void> graph_identity(const Graph& graph) { return graph.storage(); }

}  // namespace zudizid::graph
