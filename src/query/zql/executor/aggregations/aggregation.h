// The aggregation road of FIND over node patterns: a query whose projections
// hold a special function call (count, sum, avg, min, max, the algorithm
// functions, knn_nodes, shortestPath, embedding_similarity) or which has
// GROUP BY gets one row per group of its matched nodes instead of one row
// per node.
//
// Shapes:
//   GROUP BY e1, e2 ...         one row per group of the listed properties
//   plain property projections  grouped by those properties (implicit)
//   otherwise                   one row for all nodes (also for none)
//
// Groups are keyed by the property values (an absent property counts as
// Null), so Int 3 and String "3", or String "null" and Null, are different
// groups. Rows come in the order of the key texts (each value's text, joined
// by "|", compared byte-wise), ties between different values by value order.
// A grouped column shows the key text of its value.
//
// HAVING is applied per group: an aggregate in it is computed over the
// group's nodes, a grouped property is the group's key value.
//
// Columns of a grouped result: "<var>.id" (the id of the group's first
// node), each grouped property (its projection alias, else "var.prop"; none
// for var.id), then each special function projection (alias, else the
// function's name as written).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "query/zql/executor/aggregations/algorithm_cache.h"
#include "query/zql/executor/statement_result.h"
#include "query/zql/parser/ast.h"
#include "storage/db_error.h"
#include "storage/node.h"

namespace zudizid::graph {
class Graph;
class HnswIndex;
}  // namespace zudizid::graph

namespace zudizid::query::zql::executor::aggregations {

// A call named sum, avg, min, max or count in any letter case (the top node
// only).
bool is_aggregation_call(const ast::Expr& e);

// The per-query state of the aggregation road.
struct AggregationContext {
  // model -> vector index, for knn_nodes; a model whose index could not be
  // had is absent.
  std::unordered_map<std::string, std::shared_ptr<const graph::HnswIndex>> knn_indexes;
  AlgorithmCache scores;
  // shortestPath values by call (one evaluation per query and call).
  std::unordered_map<const ast::Expr::FunctionCall*, PropertyValue> shortest_paths;
};

DbResult<QueryResult> execute_aggregation(std::vector<Node> nodes, const graph::Graph& graph,
                                          const ast::Query& query, std::string_view variable);

// execute_aggregation over the label scan of `label` (every node without
// one), folded as the records are read, when the query's projections are
// only the variable's properties and count, sum, avg, min and max of its
// properties, without HAVING: no node is kept. `properties` are those the
// query reads (the scan decodes only them). The same result and errors as
// the scan drained into execute_aggregation; none when the query is not of
// that shape.
std::optional<DbResult<QueryResult>> fold_node_scan(const graph::Graph& graph, const ast::Query& query,
                                                    std::string_view variable, const std::optional<std::string>& label,
                                                    const std::vector<std::string>& properties);

// The column name and value of one function projection over `nodes` (a
// group, or every matched node). Names are matched exactly as written.
DbResult<std::pair<std::string, PropertyValue>> evaluate_function(std::span<const Node> nodes,
                                                                  std::string_view variable,
                                                                  const graph::Graph& graph, const ast::Expr& expr,
                                                                  const std::optional<std::string>& alias,
                                                                  AggregationContext& context);

// evaluate_function of a call.
DbResult<std::pair<std::string, PropertyValue>> evaluate_call(std::span<const Node> nodes, std::string_view variable,
                                                              const graph::Graph& graph,
                                                              const ast::Expr::FunctionCall& call,
                                                              const std::optional<std::string>& alias,
                                                              AggregationContext& context);

// The key text of a value in a group column: "null" for Null (and absent),
// true/false, decimal integers, floats in shortest positional form, the
// text of a String, "<bytes>", "<object>", "<list>".
std::string group_key_text(const PropertyValue* value);

}  // namespace zudizid::query::zql::executor::aggregations
