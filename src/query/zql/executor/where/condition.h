// The one WHERE evaluator of ZQL: FIND, relationship patterns and the write
// statements all test conditions here. What a name refers to, and which
// function calls are known, depends on the road; a ConditionScope says it.
//
// Rules (every road):
// - Values: a literal is itself; a property is what the scope says (maybe no
//   value, which is not Null); + - * / % and unary minus follow arithmetic.h,
//   a fault giving no value; a comparison or a logical operator inside a
//   value gives a Bool; a wildcard has no value.
// - Comparisons: no value on either side makes the comparison false; else
//   compare_with_operator: Eq/NotEq by value equality (Int 1 is not Float
//   1.0), the orderings by the total order of values (Int and Float as
//   numbers, other kinds by kind).
// - AND, OR short-circuit; NOT negates the condition under it.
// - Any other condition (a literal, a property, arithmetic, a call standing
//   alone) passes only when its value is Bool true.
// - A call the scope does not know fails with QueryExecution
//   "Unknown function in WHERE: {}" (the name as written).
//
// Long AND/OR chains and left-grouped arithmetic chains are walked without
// recursion; other nesting is bounded by the parser's depth limit.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "query/zql/parser/ast_expr.h"
#include "storage/db_error.h"
#include "storage/property_value.h"

namespace zudizid::query::zql::executor {

using MaybeValue = std::optional<PropertyValue>;

class ConditionScope {
 public:
  virtual ~ConditionScope() = default;
  // A property reference; an empty `property` names the bare variable.
  virtual MaybeValue property(std::string_view variable, std::string_view property) const = 0;
  // A call this road evaluates: its value (or no value), or an error;
  // nullopt when the road does not know the function.
  virtual std::optional<DbResult<MaybeValue>> call(const ast::Expr::FunctionCall& call) const;
};

// Eq and NotEq by PropertyValue equality, Lt Gt LtEq GtEq by PropertyValue's
// order; And, Or and arithmetic operators give false.
bool compare_with_operator(const PropertyValue& left, const PropertyValue& right, ast::BinaryOperator op);

DbResult<MaybeValue> eval_value(const ast::Expr& expr, const ConditionScope& scope);
DbResult<bool> eval_condition(const ast::Expr& expr, const ConditionScope& scope);

// The conjuncts of a top-level AND chain, left to right (the expression
// itself when it is no AND).
std::vector<const ast::Expr*> and_conjuncts(const ast::Expr& expr);

// Error of an unknown call.
DbError unknown_function(std::string_view name);

}  // namespace zudizid::query::zql::executor
