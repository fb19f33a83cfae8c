// Path-aware evaluation: expressions over one matched path that may call
// the path functions -- reducers (path_sum, path_min, path_max, path_avg
// over an edge property), path_eval (a path program text), the semantic
// filters and the embedding functions -- and the name tests and scans by
// which a query's use of them is found.
//
// Outcomes are a value, no value (std::nullopt; distinct from Null: a
// condition treats it as false) or an error (DbError::QueryExecution with
// the texts below, or the called part's error unchanged).
#pragma once

#include <optional>
#include <span>
#include <string_view>

#include "query/zql/executor/paths/path_binding.h"
#include "query/zql/executor/paths/path_env.h"
#include "query/zql/parser/ast_expr.h"

namespace zudizid::query::zql::executor {

// Name tests, on the whole name: the reducers, filters and embedding
// functions lower-cased (full Unicode case), path_eval in any ASCII case.
bool is_path_reducer(std::string_view name);
bool is_path_eval(std::string_view name);
bool is_path_embedding_function(std::string_view name);
bool is_semantic_path_filter(std::string_view name);

// Scans through operators; at a call whose name passes the test: true.
// A reducer's arguments are not searched; the other scans search the
// arguments of any other call.
bool expr_uses_path_reducer(const ast::Expr& expr);
bool expr_uses_path_embedding_function(const ast::Expr& expr);
bool expr_uses_semantic_path_filter(const ast::Expr& expr);
// A call named path_eval (any ASCII case) anywhere, arguments included.
bool expr_uses_path_eval(const ast::Expr& expr);
// The Property path.result anywhere.
bool expr_references_path_result(const ast::Expr& expr);

// Folds the numeric edge property `property` over `edges` (the caller
// checked is_path_reducer(function)):
//   all Int:  path_sum wraps around, path_min/path_max Int, path_avg Float
//   a Float:  double sums in edge order from -0.0; min/max skip NaN
// "path reducers require at least one traversed edge in the path"
// "path reducer: property '{}' missing on edge {}"
// "path reducer: property '{}' on edge {} is not numeric"
DbResult<PropertyValue> eval_path_reducer(std::span<const Edge> edges, std::string_view function,
                                          std::string_view property);

// The value of `expr` over the path. `record` is the path's program record
// when the query runs one.
DbResult<std::optional<PropertyValue>> eval_path_aware_expr(PathEnv& env, const PathBinding& path,
                                                            const ast::Expr& expr, const PathEvalRecord* record);
// The path-aware WHERE test: And/Or short-circuit; an operand's value must
// be Bool (no value counts as false; anything else, Null included, fails
// with "Path-aware WHERE expression must evaluate to Bool, got {}").
DbResult<bool> eval_path_aware_condition(PathEnv& env, const PathBinding& path, const ast::Expr& cond,
                                         const PathEvalRecord* record);

// The checked argument of a reducer call (its property name) and of a
// path_eval call (its text). Refusals: "path reducers require exactly 1
// argument (property name), got {}", "path reducer argument must be a string
// literal, e.g. path_sum("amount")"; "path_eval requires exactly 1 quoted
// expression, got {}", "path_eval argument must be a quoted expression, e.g.
// path_eval("sum")".
DbResult<std::string> reducer_property_arg(const ast::Expr::FunctionCall& call);
DbResult<std::string> path_eval_text_arg(const ast::Expr::FunctionCall& call);

// Runs a path_eval text on the machine: the record (or an empty one), the
// path's depth, nothing else visible.
DbResult<PropertyValue> run_path_eval(PathEnv& env, const PathBinding& path, const std::string& text,
                                      const PathEvalRecord* record);

}  // namespace zudizid::query::zql::executor
