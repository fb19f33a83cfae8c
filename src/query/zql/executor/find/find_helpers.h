// What the FIND road adds to the shared row helpers (ordering.h,
// where/analysis.h): aliases, ORDER BY extra columns, DISTINCT and the path
// metadata check.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "query/zql/executor/statement_result.h"
#include "query/zql/parser/ast.h"
#include "storage/db_error.h"

namespace zudizid::query::zql::executor {

// ---- projections (one row per node)

// (source key, alias) of each aliased property reference.
std::vector<std::pair<std::string, std::string>> aliased_property_refs(const std::vector<ast::Projection>& projections);
// "x.p" (x alone when p is empty).
std::string property_key(const ast::Expr::Property& p);

// ---- finishing

// Property keys that ORDER BY reads and the projections do not give (none
// when a projection is a Wildcard).
std::vector<std::string> order_by_extra_columns(const ast::Query& query);
// Removes later rows whose values under every column equal an earlier
// row's (a missing value as Null; a "*" column compares every key of the
// row, a "v.*" column every key under "v.").
void apply_distinct(QueryResult& result);
void strip_extra_columns(QueryResult& result, const std::vector<std::string>& extras);
// The query's DISTINCT, then its ORDER BY (a stable sort), then OFFSET and
// LIMIT, over rows already built.
void finish_rows(QueryResult& result, const ast::Query& query);

// ---- path metadata

// The path.* rules for a query (messages "... in Path Queries F2").
DbResult<void> check_path_metadata(const ast::Query& query);

}  // namespace zudizid::query::zql::executor
