// shortestPath(source_id, target_id) as a query value: the hop count of the
// shortest directed path as a Float, 0.0 for the same id twice, -1.0 when
// there is no path (ids naming no node included).
//
// Argument errors, all DbError::QueryExecution and checked in this order:
//   not exactly two      "shortestPath() requires exactly two arguments (source_id, target_id)"
//   not string literals  "shortestPath() arguments must be string literals (node UUIDs)"
//   first not a UUID     "Invalid node UUID for source: {}" (the string)
//   second not a UUID    "Invalid node UUID for target: {}"
// Errors of the search itself come back unchanged.
#pragma once

#include <span>

#include "query/zql/parser/ast_expr.h"
#include "storage/db_error.h"

namespace zudizid::graph {
class Graph;
}

namespace zudizid::query::zql::executor::aggregations {

DbResult<PropertyValue> evaluate_shortest_path_call(const graph::Graph& graph, std::span<const ast::Expr> args);

}  // namespace zudizid::query::zql::executor::aggregations
