// Value arithmetic of ZQL: the one definition of + - * / % and unary minus,
// shared by WHERE evaluation and the path expression machine.
//
//   Int op Int      + - * wrap around in two's complement (never undefined);
//                   / divides as Float (7 / 2 = 3.5); % is the remainder with
//                   the dividend's sign (-7 % 3 = -1; INT64_MIN % -1 = 0).
//   Int op Float    the Int becomes a Float, then Float op Float.
//   Float op Float  IEEE + - * /; % is fmod (sign of the dividend).
//   zero divisor    / and % by 0, 0.0 or -0.0 give DivisionByZero or
//                   ModuloByZero (a NaN divisor is no zero: NaN results).
//   anything else   NotNumeric (Bool, String, Null ... : no concatenation).
//   -Int            wraps (-INT64_MIN = INT64_MIN); -Float flips the sign bit.
//
// WHERE treats every fault as "no value"; the expression machine turns each
// into its own message.
#pragma once

#include <expected>

#include "query/zql/parser/ast_expr.h"
#include "storage/property_value.h"

namespace zudizid::query::zql::executor {

enum class ArithmeticFault { NotNumeric, DivisionByZero, ModuloByZero };

using ArithmeticResult = std::expected<PropertyValue, ArithmeticFault>;

// Whether `op` is one of Add, Sub, Mul, Div, Mod.
bool is_arithmetic(ast::BinaryOperator op);

// `op` must be arithmetic (is_arithmetic); any other operator is NotNumeric.
ArithmeticResult arithmetic(ast::BinaryOperator op, const PropertyValue& left, const PropertyValue& right);

ArithmeticResult negate(const PropertyValue& value);

}  // namespace zudizid::query::zql::executor
