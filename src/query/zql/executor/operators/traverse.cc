#include "query/zql/executor/operators/traverse.h"

#include "query/zql/executor/operators/filters.h"
#include "query/zql/executor/operators/node_scan.h"

namespace zudizid::query::zql::executor::operators {

graph::Direction direction_of(ast::Direction d) {
  switch (d) {
    case ast::Direction::Outgoing: return graph::Direction::Outgoing;
    case ast::Direction::Incoming: return graph::Direction::Incoming;
    case ast::Direction::Bidirectional: return graph::Direction::Both;
  }
  return graph::Direction::Outgoing;
}

DbResult<std::vector<Binding>> collect_relationship_bindings(const graph::Graph& graph,
                                                             std::optional<std::string> source_label,
                                                             std::optional<std::string> edge_type,
                                                             std::optional<std::string> target_label,
                                                             graph::Direction direction) {
  TraverseStream stream(graph, std::make_unique<NodeScanOperator>(graph, std::move(source_label)), direction,
                        std::move(edge_type), std::move(target_label));
  return drain(stream);
}

DbResult<std::deque<Edge>> TraverseStream::edges_of(const Node& node) const {
  std::deque<Edge> out;
  if (direction_ != graph::Direction::Incoming) {
    auto outgoing = graph_.get_outgoing_edges(node.id);
    if (!outgoing) return std::unexpected(std::move(outgoing.error()));
    for (Edge& e : *outgoing) out.push_back(std::move(e));
  }
  if (direction_ != graph::Direction::Outgoing) {
    auto incoming = graph_.get_incoming_edges(node.id);
    if (!incoming) return std::unexpected(std::move(incoming.error()));
    for (Edge& e : *incoming) {
      // Both: a self-loop was met among the outgoing edges already.
      if (direction_ == graph::Direction::Both && e.source == e.target && !self_loops_twice_) continue;
      out.push_back(std::move(e));
    }
  }
  return out;
}

std::optional<DbResult<Binding>> TraverseStream::next() {
  for (;;) {
    while (!pending_edges_.empty()) {
      Edge edge = std::move(pending_edges_.front());
      pending_edges_.pop_front();
      if (edge_type_ && edge.edge_type != *edge_type_) continue;
      if (!has_properties(edge.properties, edge_props_)) continue;
      const Uuid& other = edge.source == current_source_->id ? edge.target : edge.source;
      auto end = graph_.node(other);
      if (!end) continue;
      if (target_label_ && end->label != *target_label_) continue;
      if (!has_properties(end->properties, target_props_)) continue;
      return DbResult<Binding>(Binding{*current_source_, std::move(*end), std::move(edge)});
    }
    auto source = source_->next();
    if (!source) return std::nullopt;
    if (!*source) return DbResult<Binding>(std::unexpected(std::move(source->error())));
    auto edges = edges_of(**source);
    if (!edges) return DbResult<Binding>(std::unexpected(std::move(edges.error())));
    current_source_ = std::move(**source);
    pending_edges_ = std::move(*edges);
  }
}

}  // namespace zudizid::query::zql::executor::operators
