#include "query/zql/executor/write/write.h"

#include <limits>

#include "query/zql/executor/operators/filters.h"
#include "query/zql/executor/operators/start_nodes.h"
#include "query/zql/executor/operators/traverse.h"

namespace zudizid::query::zql::executor::write {

namespace {

using operators::Binding;

// Skips `offset` passing items, then keeps at most `limit`.
struct Window {
  uint64_t skip = 0;
  uint64_t keep = std::numeric_limits<uint64_t>::max();
  explicit Window(const std::optional<ast::LimitClause>& limit) {
    if (limit) {
      skip = limit->offset.value_or(0);
      keep = limit->limit;
    }
  }
  bool full() const { return keep == 0; }
  // Whether an item that passed WHERE is kept.
  bool take() {
    if (skip > 0) {
      --skip;
      return false;
    }
    --keep;
    return true;
  }
};

std::shared_ptr<const ast::Expr> condition_of(const std::optional<ast::WhereClause>& where) {
  return where ? std::make_shared<const ast::Expr>(where->condition) : nullptr;
}

// Drains `stream` through the window.
template <class T>
DbResult<std::vector<T>> take_window(operators::Operator<T>& stream, const std::optional<ast::LimitClause>& limit) {
  Window window(limit);
  std::vector<T> out;
  while (!window.full()) {
    auto item = stream.next();
    if (!item) break;
    if (!*item) return std::unexpected(std::move(item->error()));
    if (window.take()) out.push_back(std::move(**item));
  }
  return out;
}

}  // namespace

bool is_relationship_pattern(const ast::Pattern& pattern) {
  for (const auto& e : pattern.elements) {
    if (std::holds_alternative<ast::RelationshipPattern>(e)) return true;
  }
  return false;
}

std::string node_statement_variable(const ast::Pattern& pattern) {
  for (const auto& e : pattern.elements) {
    if (const auto* n = std::get_if<ast::NodePattern>(&e); n && n->variable) return *n->variable;
  }
  return "n";
}

DbResult<RelationshipPatternShape> relationship_pattern_shape(const ast::Pattern& pattern) {
  const auto& el = pattern.elements;
  auto fail = [](const char* text) { return std::unexpected(DbError::query_execution(text)); };
  if (el.size() < 3) return fail("Relationship pattern requires at least: node -> rel -> node");
  const auto* source = std::get_if<ast::NodePattern>(&el[0]);
  if (!source) return fail("Pattern must start with node");
  const auto* rel = std::get_if<ast::RelationshipPattern>(&el[1]);
  if (!rel) return fail("Expected relationship after node");
  const auto* target = std::get_if<ast::NodePattern>(&el[2]);
  if (!target) return fail("Expected node after relationship");
  if (el.size() > 3) return fail("UPDATE and DELETE take one relationship: node -> rel -> node");
  if (rel->quantifier) return fail("UPDATE and DELETE do not take quantified relationships");
  return RelationshipPatternShape{source, rel, target, source->variable.value_or("_source"),
                                  target->variable.value_or("_target"), rel->variable};
}

DbResult<std::vector<Node>> fetch_target_nodes(QueryContext& context, const ast::NodePattern& pattern,
                                               std::string_view variable, const std::optional<ast::WhereClause>& where,
                                               const std::optional<ast::LimitClause>& limit) {
  auto start = operators::select_start_nodes(context.graph, pattern, variable, where ? &where->condition : nullptr);
  if (!start) return std::unexpected(std::move(start.error()));
  operators::NodeStream nodes = std::move(start->nodes);
  if (where) {
    nodes = std::make_unique<operators::NodeConditionFilter>(std::move(nodes), condition_of(where), std::string(variable),
                                                             context.graph, /*write_road=*/true);
  }
  return take_window(*nodes, limit);
}

DbResult<std::vector<Binding>> fetch_target_bindings(QueryContext& context, const RelationshipPatternShape& shape,
                                                     const std::optional<ast::WhereClause>& where,
                                                     const std::optional<ast::LimitClause>& limit) {
  auto start = operators::select_start_nodes(context.graph, *shape.source, shape.source_var,
                                             where ? &where->condition : nullptr);
  if (!start) return std::unexpected(std::move(start.error()));
  operators::BindingStream bindings = std::make_unique<operators::TraverseStream>(
      context.graph, std::move(start->nodes), operators::direction_of(shape.relationship->direction),
      shape.relationship->rel_type, shape.target->label, shape.target->properties, shape.relationship->properties);
  if (where) {
    bindings = std::make_unique<operators::WhereFilterStream>(std::move(bindings), condition_of(where),
                                                              shape.source_var, shape.target_var);
  }
  return take_window(*bindings, limit);
}

}  // namespace zudizid::query::zql::executor::write
