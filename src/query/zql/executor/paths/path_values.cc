#include "query/zql/executor/paths/path_values.h"

#include <array>

#include "query/zql/parser/expr_walk.h"
#include "query/zql/executor/where/condition.h"
#include "query/zql/executor/where/scopes.h"

namespace zudizid::query::zql::executor {

namespace {

using ast::BinaryOperator;
using ast::Expr;
using ast::Walk;

constexpr std::array<std::string_view, 7> kMetadataNames = {"depth", "nodes", "edges", "start",
                                                            "end",   "state", "result"};

// Property references over the path's variables; no call is known.
class PathScope final : public ConditionScope {
 public:
  explicit PathScope(const PathBinding& path) : path_(path) {}
  MaybeValue property(std::string_view variable, std::string_view property) const override {
    return path_property_value(path_, variable, property);
  }

 private:
  const PathBinding& path_;
};

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
  return path_property_value(path, prop->variable, prop->property);
}

std::optional<PropertyValue> path_property_value(const PathBinding& path, std::string_view variable,
                                                 std::string_view property) {
  if (variable == "path") {
    if (property == "depth") return PropertyValue::integer(static_cast<int64_t>(path.edges.size()));
    if (property == "nodes") {
      PropertyList list;
      list.reserve(path.nodes.size());
      for (const Node& n : path.nodes) list.push_back(node_ref_value(n));
      return PropertyValue::list(std::move(list));
    }
    if (property == "edges") {
      PropertyList list;
      list.reserve(path.edges.size());
      for (const Edge& e : path.edges) list.push_back(edge_ref_value(e));
      return PropertyValue::list(std::move(list));
    }
    return std::nullopt;
  }
  if (const Node* node = path.node_var(variable)) return node_field(*node, property);
  if (const Edge* edge = path.edge_var(variable)) return edge_field(*edge, property);
  return std::nullopt;
}

DbResult<bool> eval_path_condition(const PathBinding& path, const Expr& cond) {
  return eval_condition(cond, PathScope(path));
}

void check_path_metadata_refs(const Expr& expr, std::vector<PathMetadataKind>& kinds) {
  walk_expr(expr, [&](const Expr& e) {
    const auto* p = e.get_if<Expr::Property>();
    if (p != nullptr && p->variable == "path") {
      if (auto kind = path_metadata_kind(p->property)) kinds.push_back(*kind);
    }
    return Walk::Descend;
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
    return Walk::Descend;
  });
  return found;
}

}  // namespace zudizid::query::zql::executor
