// What the FIND road needs to shape its rows: projection names, the ORDER
// BY comparator and extra columns, DISTINCT, the split of WHERE into the
// part tested while scanning and the part that needs graph-algorithm
// scores, and the path metadata check.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "query/zql/executor/aggregations/algorithm_cache.h"
#include "query/zql/executor/statement_result.h"
#include "query/zql/parser/ast.h"
#include "storage/db_error.h"

namespace zudizid::query::zql::executor {

// A call named exactly (case-sensitive) sum, avg, min, max, count, degree,
// leiden, pagerank, community, community_fast, clustering, betweenness,
// knn_nodes, shortestPath or embedding_similarity: the aggregation road.
bool is_special_function_call(const ast::Expr& e);

// ---- projections (one row per node)

// Output columns: Wildcard "*", All(x) and all(x) "x.*", an alias, a
// property reference "x.p", a bare variable x; other expressions none.
std::vector<std::string> projection_column_names(const std::vector<ast::Projection>& projections);
// Row keys asked of the node projection: as the columns, but the source key
// of an aliased property reference, and nothing for a Wildcard.
std::vector<std::string> projection_key_names(const std::vector<ast::Projection>& projections);
// (source key, alias) of each aliased property reference.
std::vector<std::pair<std::string, std::string>> aliased_property_refs(const std::vector<ast::Projection>& projections);
// "x.p" (x alone when p is empty).
std::string property_key(const ast::Expr::Property& p);

// ---- finishing

// Property keys that ORDER BY reads and the projections do not give (none
// when a projection is a Wildcard).
std::vector<std::string> order_by_extra_columns(const ast::Query& query);
// Property keys compared by PropertyValue::cmp, descending items reversed,
// a missing value last ascending and first descending; items that are no
// property reference do not decide.
bool row_less(const Row& a, const Row& b, const ast::OrderByClause& order);
// Removes later rows whose values under every column equal an earlier
// row's (a missing value as Null; a "*" column compares every key of the
// row, a "v.*" column every key under "v.").
void apply_distinct(QueryResult& result);
void strip_extra_columns(QueryResult& result, const std::vector<std::string>& extras);

// ---- WHERE split

bool expr_uses_algorithm_function(const ast::Expr& e);
// The AND conjuncts that use no algorithm function (the whole condition
// when none does), and those that do; none when empty.
std::optional<ast::Expr> where_without_algorithms(const ast::Expr& condition);
std::optional<ast::Expr> where_algorithm_part(const ast::Expr& condition);
// An algorithm condition over a projected row: algorithm calls on a bare
// variable v read the score of the node whose id is the row's "v.id";
// properties read "v.p"; AND, OR short-cut, NOT negates, a comparison with
// a missing side is false, anything else passes only as Bool true.
bool eval_algorithm_condition(const Row& row, const ast::Expr& condition,
                              const aggregations::AlgorithmCache& cache);

// ---- path metadata

// The path.* rules for a query (messages "... in Path Queries F2").
DbResult<void> check_path_metadata(const ast::Query& query);

}  // namespace zudizid::query::zql::executor
