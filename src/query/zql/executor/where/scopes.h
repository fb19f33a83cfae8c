// The scopes of the node and relationship roads, and the evaluators built
// on them.
//
// Node road (one node N bound to variable v):
//   v or v.id -> N's id text; v.label -> its label; v.p -> property p (no
//   value when absent); any other variable -> no value.
//   Known calls (names ASCII case-insensitive):
//     has_embedding(x, 'model')             Bool: an embedding is stored
//     instanceof(x, 'C') / subclassof(x, 'C')  Bool: N (an Individual / a
//                                           Class) has a label that is a strict
//                                           subclass of C in the taxonomy
//     similar_to(...), hybrid(...)          Bool true on FIND, whose vector
//                                           search applies them as id filters;
//                                           unknown on the write road
// Relationship road (source S as s, target T as t, optional edge E):
//   s.* and t.* as the node road; any other variable reads E: bare or id ->
//   its id, type / edge_type -> its type, p -> its property; no edge, no
//   value. No calls are known.
#pragma once

#include <string>
#include <string_view>

#include "graph/graph.h"
#include "query/zql/executor/operators/operator.h"
#include "query/zql/executor/where/condition.h"

namespace zudizid::query::zql::executor {

enum class Road { Find, Write };

class NodeScope final : public ConditionScope {
 public:
  // `graph` may be null: then has_embedding and the taxonomy calls are false.
  NodeScope(const Node& node, std::string_view variable, const graph::Graph* graph, Road road)
      : node_(node), variable_(variable), graph_(graph), road_(road) {}
  MaybeValue property(std::string_view variable, std::string_view property) const override;
  std::optional<DbResult<MaybeValue>> call(const ast::Expr::FunctionCall& call) const override;

 private:
  const Node& node_;
  std::string_view variable_;
  const graph::Graph* graph_;
  Road road_;
};

class BindingScope final : public ConditionScope {
 public:
  BindingScope(const operators::Binding& binding, std::string_view source_var, std::string_view target_var)
      : binding_(binding), source_var_(source_var), target_var_(target_var) {}
  MaybeValue property(std::string_view variable, std::string_view property) const override;

 private:
  const operators::Binding& binding_;
  std::string_view source_var_;
  std::string_view target_var_;
};

// A node's field named by a property reference of its own variable: "" or
// "id" the id text, "label" the label, else the property.
MaybeValue node_field(const Node& node, std::string_view property);
MaybeValue edge_field(const Edge& edge, std::string_view property);

MaybeValue node_expr_value(const Node& node, const ast::Expr& expr, std::string_view variable);
MaybeValue binding_expr_value(const operators::Binding& binding, const ast::Expr& expr, std::string_view source_var,
                              std::string_view target_var);

// FIND's node road (scan and index roads alike).
DbResult<bool> eval_node_condition(const Node& node, const ast::Expr& condition, std::string_view variable,
                                   const graph::Graph& graph);
// The write statements' node road.
DbResult<bool> eval_write_condition(const Node& node, const ast::Expr& condition, std::string_view variable,
                                    const graph::Graph& graph);
DbResult<bool> eval_binding_condition(const operators::Binding& binding, const ast::Expr& condition,
                                      std::string_view source_var, std::string_view target_var);

}  // namespace zudizid::query::zql::executor
