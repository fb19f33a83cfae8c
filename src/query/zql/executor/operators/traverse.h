// TraverseStream: one hop from each source node along its edges in
// `direction`, yielding (source, node at the edge's other end, edge).
//
// - Outgoing follows edges whose source is the node, Incoming edges whose
//   target is the node (the binding's target is then the edge's source),
//   Both the outgoing edges first, then the incoming ones; a self-loop is
//   yielded once under Both (twice, once from each list, after
//   list_self_loops_twice(), as FIND's pattern roads match it).
// - Edges are taken in adjacency order; only those of `edge_type` (when
//   given) whose properties hold `edge_props`, to a node of `target_label`
//   (when given) whose properties hold `target_props`.
// - An end node that cannot be read drops its edge silently. A failed edge
//   read is yielded once as an error; the source node is dropped and the
//   next call goes on with the next source.
// - Holds the edges of one source node at a time.
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "graph/graph.h"
#include "query/zql/executor/operators/operator.h"
#include "query/zql/parser/ast.h"

namespace zudizid::query::zql::executor::operators {

class TraverseStream final : public BindingOperator {
 public:
  TraverseStream(graph::Graph graph, NodeStream source, graph::Direction direction,
                 std::optional<std::string> edge_type, std::optional<std::string> target_label,
                 ast::PropertyMap target_props = {}, ast::PropertyMap edge_props = {})
      : graph_(std::move(graph)),
        source_(std::move(source)),
        direction_(direction),
        edge_type_(std::move(edge_type)),
        target_label_(std::move(target_label)),
        target_props_(std::move(target_props)),
        edge_props_(std::move(edge_props)) {}

  std::optional<DbResult<Binding>> next() override;

  void list_self_loops_twice() { self_loops_twice_ = true; }

 private:
  // The edges of `node` in this stream's direction.
  DbResult<std::deque<Edge>> edges_of(const Node& node) const;

  graph::Graph graph_;
  NodeStream source_;
  graph::Direction direction_;
  std::optional<std::string> edge_type_;
  std::optional<std::string> target_label_;
  ast::PropertyMap target_props_;
  ast::PropertyMap edge_props_;
  std::optional<Node> current_source_;
  std::deque<Edge> pending_edges_;
  bool self_loops_twice_ = false;
};

// Every binding of one hop from the nodes of `source_label` (every node when
// absent), in scan order; the first error is the result.
DbResult<std::vector<Binding>> collect_relationship_bindings(const graph::Graph& graph,
                                                             std::optional<std::string> source_label,
                                                             std::optional<std::string> edge_type,
                                                             std::optional<std::string> target_label,
                                                             graph::Direction direction = graph::Direction::Outgoing);

// The direction a relationship pattern's arrow asks for.
graph::Direction direction_of(ast::Direction d);

}  // namespace zudizid::query::zql::executor::operators
