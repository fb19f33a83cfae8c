#include "query/zql/executor/aggregations/shortest_path_call.h"

#include <fmt/format.h>

#include "algorithms/shortest_path/shortest_path.h"

namespace zudizid::query::zql::executor::aggregations {

namespace {

const std::string* string_literal(const ast::Expr& e) {
  const auto* literal = e.get_if<ast::Expr::Literal>();
  if (!literal || literal->value.kind() != PropertyValue::Kind::String) return nullptr;
  return &literal->value.as_string();
}

}  // namespace

DbResult<PropertyValue> evaluate_shortest_path_call(const graph::Graph& graph, std::span<const ast::Expr> args) {
  if (args.size() != 2) {
    return std::unexpected(
        DbError::query_execution("shortestPath() requires exactly two arguments (source_id, target_id)"));
  }
  const std::string* source_text = string_literal(args[0]);
  const std::string* target_text = string_literal(args[1]);
  if (!source_text || !target_text) {
    return std::unexpected(DbError::query_execution("shortestPath() arguments must be string literals (node UUIDs)"));
  }
  auto source = common::Uuid::parse(*source_text);
  if (!source)
    return std::unexpected(DbError::query_execution(fmt::format("Invalid node UUID for source: {}", *source_text)));
  auto target = common::Uuid::parse(*target_text);
  if (!target)
    return std::unexpected(DbError::query_execution(fmt::format("Invalid node UUID for target: {}", *target_text)));
  auto found = algorithms::shortest_path(graph, *source, *target);
  if (!found) return std::unexpected(std::move(found.error()));
  return PropertyValue::float64(*found ? (*found)->distance : -1.0);
}

}  // namespace zudizid::query::zql::executor::aggregations
