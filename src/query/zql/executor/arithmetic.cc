#include "query/zql/executor/arithmetic.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace zudizid::query::zql::executor {

namespace {

using ast::BinaryOperator;
using Kind = PropertyValue::Kind;

bool is_number(const PropertyValue& v) { return v.kind() == Kind::Int || v.kind() == Kind::Float; }
double as_double(const PropertyValue& v) {
  return v.kind() == Kind::Int ? static_cast<double>(v.as_int()) : v.as_float();
}

// Two's-complement arithmetic through the unsigned type: defined for every input.
int64_t wrap(uint64_t v) { return static_cast<int64_t>(v); }

ArithmeticResult ints(BinaryOperator op, int64_t a, int64_t b) {
  const auto ua = static_cast<uint64_t>(a);
  const auto ub = static_cast<uint64_t>(b);
  switch (op) {
    case BinaryOperator::Add: return PropertyValue::integer(wrap(ua + ub));
    case BinaryOperator::Sub: return PropertyValue::integer(wrap(ua - ub));
    case BinaryOperator::Mul: return PropertyValue::integer(wrap(ua * ub));
    case BinaryOperator::Div:
      if (b == 0) return std::unexpected(ArithmeticFault::DivisionByZero);
      return PropertyValue::float64(static_cast<double>(a) / static_cast<double>(b));
    case BinaryOperator::Mod:
      if (b == 0) return std::unexpected(ArithmeticFault::ModuloByZero);
      if (b == -1) return PropertyValue::integer(0);  // INT64_MIN % -1 overflows in C++
      return PropertyValue::integer(a % b);
    default: return std::unexpected(ArithmeticFault::NotNumeric);
  }
}

ArithmeticResult floats(BinaryOperator op, double a, double b) {
  switch (op) {
    case BinaryOperator::Add: return PropertyValue::float64(a + b);
    case BinaryOperator::Sub: return PropertyValue::float64(a - b);
    case BinaryOperator::Mul: return PropertyValue::float64(a * b);
    case BinaryOperator::Div:
      if (b == 0.0) return std::unexpected(ArithmeticFault::DivisionByZero);
      return PropertyValue::float64(a / b);
    case BinaryOperator::Mod:
      if (b == 0.0) return std::unexpected(ArithmeticFault::ModuloByZero);
      return PropertyValue::float64(std::fmod(a, b));
    default: return std::unexpected(ArithmeticFault::NotNumeric);
  }
}

}  // namespace

bool is_arithmetic(BinaryOperator op) {
  switch (op) {
    case BinaryOperator::Add:
    case BinaryOperator::Sub:
    case BinaryOperator::Mul:
    case BinaryOperator::Div:
    case BinaryOperator::Mod: return true;
    default: return false;
  }
}

ArithmeticResult arithmetic(BinaryOperator op, const PropertyValue& left, const PropertyValue& right) {
  if (!is_arithmetic(op) || !is_number(left) || !is_number(right)) return std::unexpected(ArithmeticFault::NotNumeric);
  if (left.kind() == Kind::Int && right.kind() == Kind::Int) return ints(op, left.as_int(), right.as_int());
  return floats(op, as_double(left), as_double(right));
}

ArithmeticResult negate(const PropertyValue& value) {
  if (value.kind() == Kind::Int) return PropertyValue::integer(wrap(0 - static_cast<uint64_t>(value.as_int())));
  if (value.kind() == Kind::Float) return PropertyValue::float64(-value.as_float());
  return std::unexpected(ArithmeticFault::NotNumeric);
}

}  // namespace zudizid::query::zql::executor
