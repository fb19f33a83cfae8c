// Values over the matches of the single-hop road (operators::Binding:
// source node, target node, edge): the names of the two ends, one binding's
// expression values, and the aggregates and HAVING test of a group of them.
//
//   EndNames names = resolve_end_names(a.variable, b.variable, r.variable, query);
//   MaybeValue v = eval_binding_expr(binding, expr, names);
//   auto ok = eval_group_condition(having, group, names, keys, cache);
//
// Name rules: a reference to the source name reads the source node, to the
// target name the target node (source first when both names are equal), to
// any other name the edge ("type"/"edge_type" its type, "" or "id" its id).
// Values follow the one WHERE evaluator (where/condition.h): arithmetic
// over values, no value for what a binding lacks.
#pragma once

#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "query/zql/executor/aggregations/algorithm_cache.h"
#include "query/zql/executor/operators/operator.h"
#include "query/zql/executor/where/condition.h"
#include "query/zql/parser/ast.h"

namespace zudizid::query::zql::executor {

using operators::Binding;

struct EndNames {
  std::string source;
  std::string target;
  std::optional<std::string> rel;  // the relationship variable, when named
};

// Appends the variable of every property reference, depth-first, left
// operand first, each name once.
void collect_expr_variables(const ast::Expr& expr, std::vector<std::string>& names);

// Given node variables are the names. A missing one is taken from the
// variables the projections (All, then expressions) and WHERE mention, the
// relationship variable left out: the source is the first that is not the
// target variable ("n" when none), the target the first that is not the
// source name ("m" when none).
EndNames resolve_end_names(const std::optional<std::string>& source, const std::optional<std::string>& target,
                           const std::optional<std::string>& rel, const ast::Query& query);

// A bare end name is its node's id text; a bare relationship variable the
// edge's id; any other bare name no value. Everything else as the WHERE
// evaluator's values over the binding (an unknown call: no value).
MaybeValue eval_binding_expr(const Binding& binding, const ast::Expr& expr, const EndNames& names);

// The GROUP BY expressions of a group and the values of its first binding
// (empty without GROUP BY).
struct GroupKeys {
  std::span<const ast::Expr> exprs;
  std::span<const PropertyValue> values;
};

// One aggregate or algorithm call, fed the bindings of a group one at a
// time in arrival order:
//   sum, avg   Int and Float values as 64-bit floats; sum Float (0.0 over
//              none), avg Float or Null over none
//   min, max   the least / greatest value in value order, Null and no value
//              skipped, the earliest of equal values kept; Null over none
//   count      count() and count(*): the bindings; count(x): the bindings
//              where x has a value that is not Null
//   algorithm  f(v) with v an end name: that end's value in the cache for
//              the group's first binding; Null otherwise or for no binding
// Names are matched ignoring ASCII case. Holds the call, which must outlive
// it.
class BindingAggregate {
 public:
  // Refusals (QueryExecution): "Not an aggregation expression", "{}()
  // requires an argument" (sum avg min max), "Unsupported aggregation for
  // relationship patterns: {}".
  static DbResult<BindingAggregate> create(const ast::Expr& call);
  void add(const Binding& binding, const EndNames& names);
  // `first`: the group's first binding, null for an empty group.
  PropertyValue value(const Binding* first, const EndNames& names, const aggregations::AlgorithmCache& cache) const;

 private:
  enum class Op { Sum, Avg, Min, Max, Count, CountAll, Algorithm };
  BindingAggregate(const ast::Expr::FunctionCall& call, Op op) : call_(&call), op_(op) {}

  const ast::Expr::FunctionCall* call_;
  Op op_;
  double sum_ = 0.0;
  int64_t counted_ = 0;
  std::optional<PropertyValue> best_;
};

// The aggregate of `call` over a whole group.
DbResult<PropertyValue> eval_binding_aggregate(const ast::Expr& call, std::span<const Binding> group,
                                               const EndNames& names, const aggregations::AlgorithmCache& cache);

// The value of a group call in a HAVING condition.
using GroupCallValue = std::function<DbResult<PropertyValue>(const ast::Expr::FunctionCall&)>;

// The HAVING test of a group by the WHERE rules: a property reference that
// is a GROUP BY expression is the group's key value, any other the value
// over its first binding (no value for an empty group); a call that
// is_group_function names is `call_value`'s, another call fails with
// "Unknown function in WHERE: {}".
DbResult<bool> eval_group_condition(const ast::Expr& cond, const Binding* first, const EndNames& names,
                                    const GroupKeys& keys, const GroupCallValue& call_value);
// The same over a whole group, its calls by eval_binding_aggregate.
DbResult<bool> eval_group_condition(const ast::Expr& cond, std::span<const Binding> group, const EndNames& names,
                                    const GroupKeys& keys, const aggregations::AlgorithmCache& cache);

// Whether a call is evaluated over a whole group: count, sum, avg, min, max
// (any ASCII case) or an algorithm function.
bool is_group_function(std::string_view name);
bool is_group_call(const ast::Expr& expr);

}  // namespace zudizid::query::zql::executor
