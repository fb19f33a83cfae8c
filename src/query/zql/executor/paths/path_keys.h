// The names a path query gives its columns and row keys, and the lists of
// path-function projections its rows are built from. Every list follows
// the FIND projections in order.
//
// Column of an unaliased projection:
//   x.p                     "x.p" (a bare x: "x"); all(x) and x.*: "x.*"; *: "*"
//   path_sum('w')           path_sum("w")   (the reducer name lower-cased)
//   path_eval('t')          path_eval("t")  (the text as written)
//   path_embedding('a', 2)  path_embedding("a", 2): the canonical call key,
//                           the name as written, each argument's canonical
//                           literal (null, true, 12, 0.25, 2 for 2.0,
//                           "a \"q\"" with \ and " escaped)
//   anything else           no column (an alias always gives one)
#pragma once

#include <span>
#include <string>
#include <vector>

#include "query/zql/parser/ast.h"
#include "storage/db_error.h"

namespace zudizid::query::zql::executor {

struct ReducerProjection {
  std::string column;
  std::string function;  // as written
  std::string property;
};
struct PathEvalProjection {
  std::string column;
  std::string text;
};
struct EmbeddingProjection {
  std::string column;
  std::string function;  // as written
  std::vector<ast::Expr> args;
};
struct MetadataProjection {
  std::string column;
  std::string property;  // start, end, state or result
};

// Reducer calls standing as a whole projection. Refusals: "path reducers
// require exactly 1 argument (property name), got {}", "path reducer
// argument must be a string literal, e.g. path_sum("amount")".
DbResult<std::vector<ReducerProjection>> path_reducer_projections(std::span<const ast::Projection> projections);
// path_eval calls standing as a whole projection. Refusals: "path_eval
// requires exactly 1 quoted expression, got {}", "path_eval argument must be
// a quoted expression, e.g. path_eval("sum")".
DbResult<std::vector<PathEvalProjection>> path_eval_projections(std::span<const ast::Projection> projections);
DbResult<std::vector<EmbeddingProjection>> path_embedding_projections(std::span<const ast::Projection> projections);
// Projections of path.start, path.end, path.state and path.result.
std::vector<MetadataProjection> path_metadata_projections(std::span<const ast::Projection> projections);

std::vector<std::string> path_projection_columns(std::span<const ast::Projection> projections);
// Row keys of node, edge and property values: *, x.*, x.p, x (aliases ignored).
std::vector<std::string> path_plain_keys(std::span<const ast::Projection> projections);

// "{name}({arg}, {arg})". Refusals: "{} requires literal arguments for
// canonical projection keys; got {}" and "{} uses unsupported projection
// literal {} in path/pattern embedding projections".
DbResult<std::string> canonical_call_key(const std::string& name, std::span<const ast::Expr> args);

}  // namespace zudizid::query::zql::executor
