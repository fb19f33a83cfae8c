// Pure functions over WHERE conditions and projections that decide how a
// query runs: aggregate detection, the vector-search calls, and the split of
// a condition into its scan part and its algorithm-score part. None reads
// the graph.
#pragma once

#include <optional>
#include <string>

#include "query/zql/executor/aggregations/algorithm_cache.h"
#include "query/zql/executor/statement_result.h"
#include "query/zql/parser/ast_expr.h"
#include "storage/db_error.h"

namespace zudizid::query::zql::executor {

struct HybridCall {
  std::string variable;
  std::string text;
  std::string reference_name;
  std::string model;
};

struct SimilarToCall {
  std::string variable;
  std::string reference_name;
  std::string model;
};

// A call named exactly (case-sensitive) one of the aggregate and special
// functions: sum avg min max count degree leiden pagerank community
// knn_nodes clustering betweenness shortestPath community_fast
// embedding_similarity.
bool is_special_function_call(const ast::Expr& expr);

// hybrid(v, 'text', 'reference', 'model') found through AND / OR, left
// first; v a property reference's variable, else "n".
std::optional<HybridCall> extract_hybrid_call(const ast::Expr& condition);
// similar_to(v, 'reference'[, 'model']) likewise; model "default" when absent.
std::optional<SimilarToCall> extract_similar_to_call(const ast::Expr& condition);

// Whether an algorithm function is called anywhere in `expr`.
bool expr_uses_algorithm_function(const ast::Expr& expr);
// The AND conjuncts without algorithm calls (none when there are none).
std::optional<ast::Expr> where_without_algorithms(const ast::Expr& condition);
// The AND conjuncts with algorithm calls (none when there are none). The
// AND of both parts means what the condition means.
std::optional<ast::Expr> where_algorithm_part(const ast::Expr& condition);

// A value over a result row: a literal; v.p the row's "v.p"; bare v the
// row's "v.id"; an algorithm call f(v, ...) the score of the node whose id
// the row holds under "v.id" (Null without a score). Anything else: no value.
std::optional<PropertyValue> eval_algorithm_operand(const Row& row, const ast::Expr& expr,
                                                    const aggregations::AlgorithmCache& cache);
// The algorithm part tested on a row by the one WHERE evaluator
// (where/condition.h) over eval_algorithm_operand; a call of another
// function fails with "Unknown function in WHERE: {}".
DbResult<bool> eval_algorithm_condition(const Row& row, const ast::Expr& condition,
                                        const aggregations::AlgorithmCache& cache);

}  // namespace zudizid::query::zql::executor
