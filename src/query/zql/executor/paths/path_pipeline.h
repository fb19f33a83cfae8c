// The last stage of a path query: for each matched path, in order, run the
// path program (INIT once, GATHER once per hop, RETURN once), keep the path
// when WHERE holds, build its row; then DISTINCT, ORDER BY, OFFSET/LIMIT.
//
// Every program text (INIT, GATHER, RETURN and each path_eval argument) is
// parsed once, before the first path, so a malformed text is reported even
// when nothing matches. A RETURN value must be Int, Float, Bool, String or
// Null: "RETURN must produce a scalar value (Int, Float, Bool, String, or
// Null) in Path Queries F4-C". path.state lists variables in the order of
// their first assignment.
//
// Paths are pulled one at a time: with a LIMIT and neither DISTINCT nor
// ORDER BY the pull stops once offset + limit rows are kept. Rows held for
// DISTINCT or ORDER BY are bounded by kMaxHeldPathRows; past it the query
// fails with QueryExecution "Path query keeps more than 1000000 rows; add a
// LIMIT without ORDER BY or DISTINCT, or narrow the pattern".
//
// With profiling on, bindings_emitted is the number of paths that passed
// WHERE (before DISTINCT and LIMIT).
#pragma once

#include "graph/graph.h"
#include "query/zql/executor/paths/path_binding.h"
#include "query/zql/executor/query_context.h"
#include "query/zql/executor/statement_result.h"
#include "query/zql/parser/ast.h"

namespace zudizid::query::zql::executor {

inline constexpr size_t kMaxHeldPathRows = 1'000'000;

using PathCursor = storage::Cursor<PathBinding>;

DbResult<QueryResult> run_path_pipeline(QueryContext& context, PathCursor paths, const ast::Query& query);

// INIT or GATHER texts, a RETURN text, or a path_eval call anywhere in the
// projections, WHERE, ORDER BY, GROUP BY or HAVING.
bool query_uses_path_eval(const ast::Query& query);

// The row of one kept path under the plain keys ("*", "x.*", "x.p", "x").
void bind_node_columns(Row& row, const std::string& variable, const Node& node);
void bind_edge_columns(Row& row, const std::string& variable, const Edge& edge);

}  // namespace zudizid::query::zql::executor
