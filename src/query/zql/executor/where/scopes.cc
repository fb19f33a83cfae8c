#include "query/zql/executor/where/scopes.h"

#include "graph/embeddings.h"
#include "index/taxonomy.h"

namespace zudizid::query::zql::executor {

namespace {

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// The second argument of a two-argument call when it is a String literal.
const std::string* second_string_argument(const ast::Expr::FunctionCall& call) {
  if (call.args.size() != 2) return nullptr;
  const auto* lit = call.args[1].get_if<ast::Expr::Literal>();
  if (!lit || lit->value.kind() != PropertyValue::Kind::String) return nullptr;
  return &lit->value.as_string();
}

MaybeValue boolean(bool b) { return PropertyValue::boolean(b); }

bool taxonomy_test(const graph::Graph* graph, const Node& node, const std::string& class_name, NodeKind kind) {
  if (!graph || node.kind != kind || !graph->index_manager()) return false;
  auto taxonomy = graph->index_manager()->get_taxonomy();
  if (!taxonomy) return false;
  auto class_id = taxonomy->class_id_by_name(class_name);
  if (!class_id) return false;
  return taxonomy->named_class_is_subclass_of(node.label, *class_id);
}

}  // namespace

MaybeValue node_field(const Node& node, std::string_view property) {
  if (property.empty() || property == "id") return PropertyValue::string(node.id.to_string());
  if (property == "label") return PropertyValue::string(node.label);
  auto it = node.properties.find(std::string(property));
  if (it == node.properties.end()) return std::nullopt;
  return it->second;
}

MaybeValue edge_field(const Edge& edge, std::string_view property) {
  if (property.empty() || property == "id") return PropertyValue::string(edge.id.to_string());
  if (property == "type" || property == "edge_type") return PropertyValue::string(edge.edge_type);
  auto it = edge.properties.find(std::string(property));
  if (it == edge.properties.end()) return std::nullopt;
  return it->second;
}

MaybeValue NodeScope::property(std::string_view variable, std::string_view property) const {
  if (variable != variable_) return std::nullopt;
  return node_field(node_, property);
}

std::optional<DbResult<MaybeValue>> NodeScope::call(const ast::Expr::FunctionCall& call) const {
  const std::string name = ascii_lower(call.name);
  if (name == "has_embedding") {
    const std::string* model = second_string_argument(call);
    if (!model || !graph_) return DbResult<MaybeValue>(boolean(false));
    auto has = graph::has_node_embedding(*graph_->storage(), node_.id, *model);
    if (!has) return DbResult<MaybeValue>(std::unexpected(std::move(has.error())));
    return DbResult<MaybeValue>(boolean(*has));
  }
  if (name == "instanceof" || name == "subclassof") {
    const std::string* class_name = second_string_argument(call);
    const NodeKind kind = name == "instanceof" ? NodeKind::Individual : NodeKind::Class;
    return DbResult<MaybeValue>(boolean(class_name && taxonomy_test(graph_, node_, *class_name, kind)));
  }
  if (road_ == Road::Find && (name == "similar_to" || name == "hybrid")) return DbResult<MaybeValue>(boolean(true));
  return std::nullopt;
}

MaybeValue BindingScope::property(std::string_view variable, std::string_view property) const {
  if (variable == source_var_) return node_field(binding_.source, property);
  if (variable == target_var_) return node_field(binding_.target, property);
  if (!binding_.edge) return std::nullopt;
  return edge_field(*binding_.edge, property);
}

MaybeValue node_expr_value(const Node& node, const ast::Expr& expr, std::string_view variable) {
  auto v = eval_value(expr, NodeScope(node, variable, nullptr, Road::Write));
  return v ? std::move(*v) : MaybeValue();
}

MaybeValue binding_expr_value(const operators::Binding& binding, const ast::Expr& expr, std::string_view source_var,
                              std::string_view target_var) {
  auto v = eval_value(expr, BindingScope(binding, source_var, target_var));
  return v ? std::move(*v) : MaybeValue();
}

DbResult<bool> eval_node_condition(const Node& node, const ast::Expr& condition, std::string_view variable,
                                   const graph::Graph& graph) {
  return eval_condition(condition, NodeScope(node, variable, &graph, Road::Find));
}

DbResult<bool> eval_write_condition(const Node& node, const ast::Expr& condition, std::string_view variable,
                                    const graph::Graph& graph) {
  return eval_condition(condition, NodeScope(node, variable, &graph, Road::Write));
}

DbResult<bool> eval_binding_condition(const operators::Binding& binding, const ast::Expr& condition,
                                      std::string_view source_var, std::string_view target_var) {
  return eval_condition(condition, BindingScope(binding, source_var, target_var));
}

}  // namespace zudizid::query::zql::executor
