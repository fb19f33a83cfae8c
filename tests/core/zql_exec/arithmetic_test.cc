#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "query/zql/executor/arithmetic.h"

namespace zudizid::query::zql::executor {
namespace {

using ast::BinaryOperator;
using PV = PropertyValue;
constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

struct Case {
  BinaryOperator op;
  PV left, right;
  std::optional<PV> expected;  // none: a fault
  std::optional<ArithmeticFault> fault;
};

TEST(Arithmetic, Table) {
  const Case cases[] = {
      {BinaryOperator::Add, PV::integer(kMax), PV::integer(1), PV::integer(kMin), {}},
      {BinaryOperator::Sub, PV::integer(kMin), PV::integer(1), PV::integer(kMax), {}},
      {BinaryOperator::Mul, PV::integer(kMin), PV::integer(-1), PV::integer(kMin), {}},
      {BinaryOperator::Div, PV::integer(7), PV::integer(2), PV::float64(3.5), {}},
      {BinaryOperator::Div, PV::integer(4), PV::integer(2), PV::float64(2.0), {}},
      {BinaryOperator::Div, PV::integer(kMin), PV::integer(-1), PV::float64(9223372036854775808.0), {}},
      {BinaryOperator::Mod, PV::integer(-7), PV::integer(3), PV::integer(-1), {}},
      {BinaryOperator::Mod, PV::integer(kMin), PV::integer(-1), PV::integer(0), {}},
      {BinaryOperator::Mod, PV::float64(-7.5), PV::integer(2), PV::float64(-1.5), {}},
      {BinaryOperator::Add, PV::integer(1), PV::float64(0.5), PV::float64(1.5), {}},
      {BinaryOperator::Div, PV::integer(7), PV::integer(0), {}, ArithmeticFault::DivisionByZero},
      {BinaryOperator::Div, PV::float64(1.0), PV::float64(-0.0), {}, ArithmeticFault::DivisionByZero},
      {BinaryOperator::Mod, PV::integer(7), PV::integer(0), {}, ArithmeticFault::ModuloByZero},
      {BinaryOperator::Mod, PV::float64(7), PV::float64(0.0), {}, ArithmeticFault::ModuloByZero},
      {BinaryOperator::Add, PV::string("a"), PV::string("b"), {}, ArithmeticFault::NotNumeric},
      {BinaryOperator::Add, PV::boolean(true), PV::integer(1), {}, ArithmeticFault::NotNumeric},
      {BinaryOperator::Sub, PV::null(), PV::integer(1), {}, ArithmeticFault::NotNumeric},
      {BinaryOperator::Eq, PV::integer(1), PV::integer(1), {}, ArithmeticFault::NotNumeric},
  };
  for (const Case& c : cases) {
    auto r = arithmetic(c.op, c.left, c.right);
    SCOPED_TRACE(c.left.debug_string() + " " + std::string(ast::debug_name(c.op)) + " " + c.right.debug_string());
    if (c.expected) {
      ASSERT_TRUE(r);
      EXPECT_EQ(r->kind(), c.expected->kind());
      EXPECT_TRUE(r->eq(*c.expected)) << r->debug_string();
    } else {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error(), *c.fault);
    }
  }
  auto nan = arithmetic(BinaryOperator::Div, PV::float64(1.0), PV::float64(std::nan("")));
  ASSERT_TRUE(nan);
  EXPECT_TRUE(std::isnan(nan->as_float()));
}

TEST(Arithmetic, Negate) {
  EXPECT_TRUE(negate(PV::integer(kMin))->eq(PV::integer(kMin)));
  EXPECT_TRUE(negate(PV::integer(5))->eq(PV::integer(-5)));
  EXPECT_TRUE(std::signbit(negate(PV::float64(0.0))->as_float()));
  EXPECT_FALSE(negate(PV::string("x")));
}

}  // namespace
}  // namespace zudizid::query::zql::executor
