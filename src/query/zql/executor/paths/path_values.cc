#include "query/zql/executor/paths/path_values.h"

#include <array>

#include "query/zql/executor/paths/expr_walk.h"

namespace zudizid::query::zql::executor {

namespace {

using ast::BinaryOperator;
using ast::Expr;

constexpr std::array<std::string_view, 7> kMetadataNames = {"depth", "nodes", "edges", "start",
                                                            "end",   "state", "result"};

std::optional<PropertyValue> property_of(const PropertyMap& properties, const std::string& name) {
  auto it = properties.find(name);
  if (it == properties.end()) return std::nullopt;
  return it->second;
}

// Eq and NotEq by value equality, the orderings by the value order; the
// arithmetic operators are no comparison and give false.
bool compare_values(BinaryOperator op, const PropertyValue& l, const PropertyValue& r) {
  switch (op) {
    case BinaryOperator::Eq: return l == r;
    case BinaryOperator::NotEq: return !(l == r);
    case BinaryOperator::Lt: return l.cmp(r) < 0;
    case BinaryOperator::Gt: return l.cmp(r) > 0;
    case BinaryOperator::LtEq: return l.cmp(r) <= 0;
    case BinaryOperator::GtEq: return l.cmp(r) >= 0;
    default: return false;
  }
}

}  // namespace

std::optional<PathMetadataKind> path_metadata_kind(std::string_view property) {
  for (size_t i = 0; i < kMetadataNames.size(); ++i) {
    if (kMetadataNames[i] == property) return static_cast<PathMetadataKind>(i);
  }
  return std::nullopt;
}

std::optional<PropertyValue> path_binding_value(const PathBinding& path, const Expr& expr) {
  if (const auto* lit = expr.get_if<Expr::Literal>()) return lit->value;
  const auto* prop = expr.get_if<Expr::Property>();
  if (prop == nullptr) return std::nullopt;
  if (prop->variable == "path") {
    if (prop->property == "depth") return PropertyValue::integer(static_cast<int64_t>(path.edges.size()));
    if (prop->property == "nodes") {
      PropertyList list;
      list.reserve(path.nodes.size());
      for (const Node& n : path.nodes) list.push_back(node_ref_value(n));
      return PropertyValue::list(std::move(list));
    }
    if (prop->property == "edges") {
      PropertyList list;
      list.reserve(path.edges.size());
      for (const Edge& e : path.edges) list.push_back(edge_ref_value(e));
      return PropertyValue::list(std::move(list));
    }
    return std::nullopt;
  }
  if (const Node* node = path.node_var(prop->variable)) {
    if (prop->property.empty() || prop->property == "id") return PropertyValue::string(node->id.to_string());
    if (prop->property == "label") return PropertyValue::string(node->label);
    return property_of(node->properties, prop->property);
  }
  if (const Edge* edge = path.edge_var(prop->variable)) {
    if (prop->property.empty() || prop->property == "id") return PropertyValue::string(edge->id.to_string());
    if (prop->property == "edge_type" || prop->property == "type") return PropertyValue::string(edge->edge_type);
    return property_of(edge->properties, prop->property);
  }
  return std::nullopt;
}

bool eval_path_condition(const PathBinding& path, const Expr& cond) {
  const Expr* at = &cond;
  while (const auto* bin = at->get_if<Expr::BinaryOp>()) {
    if (bin->op == BinaryOperator::And) {
      if (!eval_path_condition(path, *bin->left)) return false;
      at = bin->right.get();
      continue;
    }
    if (bin->op == BinaryOperator::Or) {
      if (eval_path_condition(path, *bin->left)) return true;
      at = bin->right.get();
      continue;
    }
    auto l = path_binding_value(path, *bin->left);
    auto r = path_binding_value(path, *bin->right);
    return l && r && compare_values(bin->op, *l, *r);
  }
  return true;
}

void check_path_metadata_refs(const Expr& expr, std::vector<PathMetadataKind>& kinds) {
  walk_expr(expr, [&](const Expr& e) {
    const auto* p = e.get_if<Expr::Property>();
    if (p != nullptr && p->variable == "path") {
      if (auto kind = path_metadata_kind(p->property)) kinds.push_back(*kind);
    }
    return Walk::Into;
  });
}

std::optional<std::string> collect_path_metadata_refs(const Expr& expr) {
  std::optional<std::string> found;
  walk_expr(expr, [&](const Expr& e) {
    const auto* p = e.get_if<Expr::Property>();
    if (p != nullptr && p->variable == "path" && !path_metadata_kind(p->property)) {
      found = p->property;
      return Walk::Stop;
    }
    return Walk::Into;
  });
  return found;
}

}  // namespace zudizid::query::zql::executor
