#include "query/zql/executor/ordering.h"

#include <fmt/format.h>

#include "query/zql/executor/aggregations/algorithm_cache.h"
#include "query/zql/executor/ascii_lower.h"

namespace zudizid::query::zql::executor {

namespace {

using ast::Expr;

enum class Road { Query, Pattern, Source };

// The variable of a bare-variable expression.
const std::string* bare_variable(const Expr& e) {
  const auto* p = e.get_if<Expr::Property>();
  return p && p->property.empty() ? &p->variable : nullptr;
}

// The name one projection yields on `road`, if any.
std::optional<std::string> name_of(const ast::Projection& projection, Road road) {
  if (std::holds_alternative<ast::WildcardProjection>(projection)) {
    return road == Road::Source ? std::nullopt : std::optional<std::string>("*");
  }
  if (const auto* all = std::get_if<ast::AllProjection>(&projection)) return fmt::format("{}.*", all->variable);
  const auto& e = std::get<ast::ExpressionProjection>(projection);
  if (e.alias && road != Road::Source) return *e.alias;
  if (const auto* call = e.expr.get_if<Expr::FunctionCall>()) {
    const std::string* v = call->args.empty() ? nullptr : bare_variable(call->args[0]);
    if (ascii_lower(call->name) == "all" && call->args.size() == 1 && v) return fmt::format("{}.*", *v);
    if (road == Road::Pattern && v && aggregations::is_algorithm_name(call->name))
      return fmt::format("{}({})", ascii_lower(call->name), *v);
    return std::nullopt;
  }
  if (const auto* p = e.expr.get_if<Expr::Property>()) {
    return p->property.empty() ? p->variable : fmt::format("{}.{}", p->variable, p->property);
  }
  return std::nullopt;
}

std::optional<std::string> next_name(Projections& rest, Road road) {
  while (!rest.empty()) {
    auto name = name_of(rest.front(), road);
    rest = rest.subspan(1);
    if (name) return name;
  }
  return std::nullopt;
}

}  // namespace

bool compare_rows_for_order(std::span<const ast::OrderByItem> items, const Row& a, const Row& b) {
  for (const auto& item : items) {
    const auto* p = item.expression.get_if<Expr::Property>();
    if (!p) continue;
    const std::string key = p->property.empty() ? p->variable : fmt::format("{}.{}", p->variable, p->property);
    const bool desc = item.order == ast::OrderDirection::Desc;
    auto ia = a.find(key);
    auto ib = b.find(key);
    const bool has_a = ia != a.end();
    const bool has_b = ib != b.end();
    if (!has_a && !has_b) continue;
    if (has_a != has_b) return has_a != desc;  // absent sorts last ascending
    const auto order = ia->second.cmp(ib->second);
    if (order == std::weak_ordering::equivalent) continue;
    return (order == std::weak_ordering::less) != desc;
  }
  return false;
}

std::optional<std::string> query_column_names_next(Projections& rest) { return next_name(rest, Road::Query); }
std::optional<std::string> projection_column_names_next(Projections& rest) { return next_name(rest, Road::Pattern); }
std::optional<std::string> projection_source_columns_next(Projections& rest) { return next_name(rest, Road::Source); }

std::optional<AlgorithmProjection> algorithm_projections_next(Projections& rest) {
  while (!rest.empty()) {
    const ast::Projection& projection = rest.front();
    rest = rest.subspan(1);
    const auto* e = std::get_if<ast::ExpressionProjection>(&projection);
    if (!e) continue;
    const auto* call = e->expr.get_if<Expr::FunctionCall>();
    if (!call || call->args.empty() || !aggregations::is_algorithm_name(call->name)) continue;
    const std::string* v = bare_variable(call->args[0]);
    if (!v) continue;
    std::string column = e->alias ? *e->alias : fmt::format("{}({})", ascii_lower(call->name), *v);
    return AlgorithmProjection{std::move(column), call->name, *v};
  }
  return std::nullopt;
}

}  // namespace zudizid::query::zql::executor
