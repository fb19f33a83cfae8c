// The single-hop road of relationship patterns: FIND over (a)-[r]->(b)
// without quantifier or path features. Matches stream through operators:
//
//   start nodes (select_start_nodes: node id, index equality or label scan)
//   -> TraverseStream (type, edge map, far label and map; a self-loop twice
//      under <->) -> WHERE without algorithm conjuncts (WhereFilterStream)
//   -> aggregated (an aggregate call or GROUP BY): aggregate_hop_bindings
//      else: rows (BindingProjection) -> algorithm columns and conditions
//      -> DISTINCT -> ORDER BY (stable) -> OFFSET/LIMIT -> extras removed.
//
// Without ORDER BY, DISTINCT and algorithm conditions, pulling stops after
// offset + limit rows, so the rest of the graph is never read.
//
// Refusals (QueryExecution): "Pattern must start with node", "Expected
// relationship after node", "Expected node after relationship".
#pragma once

#include <optional>

#include "query/zql/executor/operators/operator.h"
#include "query/zql/executor/paths/binding_eval.h"
#include "query/zql/executor/query_context.h"
#include "query/zql/parser/ast.h"

namespace zudizid::query::zql::executor {

// `query` holds one pattern of three elements.
DbResult<QueryResult> run_single_hop(QueryContext& context, const ast::Query& query);

// Aggregation over the bindings of one hop. Bindings pass the algorithm
// conjuncts of WHERE (when any) before grouping. Groups by the GROUP BY
// values (an absent value as Null; Int 1 and Float 1.0 are different
// groups), in the order of their first binding; without GROUP BY one group
// of every binding, emitted also when nothing matched (count 0, sum 0.0,
// other aggregates and plain columns Null). Aggregates are accumulated as
// bindings arrive: memory grows with the groups, not the bindings. Then
// HAVING, one row per group, DISTINCT, ORDER BY (stable), OFFSET/LIMIT.
// Columns: the alias, else the call's name as written, "v.p" (or "v") for a
// property reference, "col_{i}" for another expression; "*" and all(v)
// fail with "Wildcard/all() projections are not supported with pattern
// aggregations" once a row is built. Every current node is read and the
// algorithms run only when the query names an algorithm function.
DbResult<QueryResult> aggregate_hop_bindings(QueryContext& context, operators::BindingOperator& bindings,
                                             const ast::Query& query, const EndNames& names,
                                             const std::optional<ast::Expr>& algorithm_part);

// The algorithm values `query` names, over every current node (nothing is
// read when it names no algorithm function).
DbResult<aggregations::AlgorithmCache> query_algorithm_cache(graph::Graph& graph, const ast::Query& query);

}  // namespace zudizid::query::zql::executor
