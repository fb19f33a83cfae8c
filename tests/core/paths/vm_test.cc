// The path expression machine: every operator against the kinds it takes
// and refuses, the integer extremes, NaN and -0.0, the contexts, and
// short-circuiting over undefined variables.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <limits>

#include "query/zql/executor/paths/path_functions.h"
#include "query/zql/executor/paths/vm.h"
#include "query/zql/parser/vm_parser.h"

namespace zudizid::query::zql::executor {
namespace {

using ast::BinaryOperator;
using ast::UnaryOperator;
using PV = PropertyValue;

constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

Uuid uid(uint8_t n) {
  Uuid::Bytes b{};
  b[15] = n;
  return Uuid(b);
}

struct Fixture {
  Node a{uid(1), "Person", {{"name", PV::string("ann")}, {"id", PV::integer(9)}}, NodeKind::Individual};
  Node b{uid(2), "City", {}, NodeKind::Individual};
  Edge e{uid(3), uid(1), uid(2), "LIVES_IN", {{"w", PV::integer(5)}, {"label", PV::string("x")}}};
  std::vector<Node> nodes{a, b};
  PathEvalRecord record;
  VmContext init{.depth = 1};
  VmContext gather{.source = &a, .target = &b, .edge = &e, .depth = 1};
  VmContext ret{.depth = 1, .nodes = &nodes};
};

DbResult<PV> eval_text(const std::string& text, const PathEvalRecord& record, const VmContext& context) {
  auto expr = parser::parse_vm_expression(text);
  if (!expr) return std::unexpected(expr.error());
  return eval_vm_expr(*expr, record, context);
}

std::string message(const DbResult<PV>& r) {
  if (r) return "ok: " + r->debug_string();
  EXPECT_EQ(r.error().kind(), DbError::Kind::QueryExecution) << r.error().display();
  return r.error().text();
}

// Operators over evaluated values, including those no literal can spell.
TEST(PathVm, BinaryTable) {
  const double nan = std::nan("");
  struct Case {
    BinaryOperator op;
    PV l, r;
    std::string want;  // the value's debug text, or the error text
  };
  const std::vector<Case> cases = {
      {BinaryOperator::Eq, PV::integer(1), PV::float64(1.0), "ok: Bool(false)"},
      {BinaryOperator::Eq, PV::null(), PV::null(), "ok: Bool(true)"},
      {BinaryOperator::Eq, PV::float64(nan), PV::float64(nan), "ok: Bool(false)"},
      {BinaryOperator::Eq, PV::float64(0.0), PV::float64(-0.0), "ok: Bool(true)"},
      {BinaryOperator::NotEq, PV::string("a"), PV::bytes({97}), "ok: Bool(true)"},
      {BinaryOperator::Lt, PV::integer(1), PV::float64(1.5), "ok: Bool(true)"},
      {BinaryOperator::Lt, PV::string("ab"), PV::string("b"), "ok: Bool(true)"},
      {BinaryOperator::Gt, PV::string("ab"), PV::string("a"), "ok: Bool(true)"},
      {BinaryOperator::Gt, PV::boolean(true), PV::boolean(false), "ok: Bool(true)"},
      {BinaryOperator::Lt, PV::integer(kMin), PV::integer(kMax), "ok: Bool(true)"},
      {BinaryOperator::LtEq, PV::float64(nan), PV::float64(1), "ok: Bool(false)"},
      {BinaryOperator::GtEq, PV::integer(1), PV::float64(nan), "ok: Bool(false)"},
      {BinaryOperator::Gt, PV::float64(nan), PV::float64(nan), "ok: Bool(false)"},
      {BinaryOperator::Lt, PV::null(), PV::integer(1), "VM comparison 'Lt' is not supported for values Null and Int(1)"},
      {BinaryOperator::GtEq, PV::string("1"), PV::integer(1),
       "VM comparison 'GtEq' is not supported for values String(\"1\") and Int(1)"},
      {BinaryOperator::Lt, PV::list({}), PV::list({}), "VM comparison 'Lt' is not supported for values List([]) and List([])"},
      {BinaryOperator::Lt, PV::boolean(true), PV::integer(1),
       "VM comparison 'Lt' is not supported for values Bool(true) and Int(1)"},
      {BinaryOperator::Add, PV::integer(kMax), PV::integer(1), "ok: Int(-9223372036854775808)"},
      {BinaryOperator::Sub, PV::integer(kMin), PV::integer(1), "ok: Int(9223372036854775807)"},
      {BinaryOperator::Mul, PV::integer(kMin), PV::integer(-1), "ok: Int(-9223372036854775808)"},
      {BinaryOperator::Mul, PV::integer(kMax), PV::integer(kMax), "ok: Int(1)"},
      {BinaryOperator::Div, PV::integer(7), PV::integer(2), "ok: Float(3.5)"},
      {BinaryOperator::Div, PV::integer(4), PV::integer(2), "ok: Float(2.0)"},
      {BinaryOperator::Div, PV::integer(kMin), PV::integer(-1), "ok: Float(9.223372036854776e18)"},
      {BinaryOperator::Div, PV::integer(1), PV::integer(0), "VM division by zero"},
      {BinaryOperator::Mod, PV::integer(kMin), PV::integer(-1), "ok: Int(0)"},
      {BinaryOperator::Mod, PV::integer(-7), PV::integer(3), "ok: Int(-1)"},
      {BinaryOperator::Mod, PV::integer(7), PV::integer(0), "VM modulo by zero"},
      {BinaryOperator::Div, PV::float64(1.5), PV::integer(0), "VM division by zero"},
      {BinaryOperator::Div, PV::float64(1.0), PV::float64(-0.0), "VM division by zero"},
      {BinaryOperator::Div, PV::float64(1.0), PV::float64(nan), "ok: Float(NaN)"},
      {BinaryOperator::Mod, PV::float64(-7.5), PV::integer(2), "ok: Float(-1.5)"},
      {BinaryOperator::Mod, PV::float64(1.0), PV::float64(-0.0), "VM modulo by zero"},
      {BinaryOperator::Add, PV::integer(1), PV::float64(0.5), "ok: Float(1.5)"},
      {BinaryOperator::Sub, PV::float64(-0.0), PV::float64(0.0), "ok: Float(-0.0)"},
      {BinaryOperator::Add, PV::string("a"), PV::string("b"),
       "VM arithmetic operator 'Add' requires numeric operands, got String(\"a\") and String(\"b\")"},
      {BinaryOperator::Mul, PV::boolean(true), PV::integer(1),
       "VM arithmetic operator 'Mul' requires numeric operands, got Bool(true) and Int(1)"},
      {BinaryOperator::Mod, PV::null(), PV::float64(1),
       "VM arithmetic operator 'Mod' requires numeric operands, got Null and Float(1.0)"},
      {BinaryOperator::And, PV::boolean(true), PV::boolean(true), "VM logical operators are handled before binary evaluation"},
      {BinaryOperator::Or, PV::boolean(true), PV::boolean(true), "VM logical operators are handled before binary evaluation"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(message(eval_vm_binary(c.op, c.l, c.r)), c.want)
        << ast::debug_name(c.op) << " " << c.l.debug_string() << " " << c.r.debug_string();
  }
}

TEST(PathVm, UnaryTable) {
  struct Case {
    UnaryOperator op;
    PV v;
    std::string want;
  };
  const std::vector<Case> cases = {
      {UnaryOperator::Neg, PV::integer(kMin), "ok: Int(-9223372036854775808)"},
      {UnaryOperator::Neg, PV::integer(kMax), "ok: Int(-9223372036854775807)"},
      {UnaryOperator::Neg, PV::float64(0.0), "ok: Float(-0.0)"},
      {UnaryOperator::Neg, PV::boolean(true), "VM unary '-' requires numeric operand, got Bool(true)"},
      {UnaryOperator::Neg, PV::string("x"), "VM unary '-' requires numeric operand, got String(\"x\")"},
      {UnaryOperator::Not, PV::boolean(false), "ok: Bool(true)"},
      {UnaryOperator::Not, PV::integer(1), "VM operator 'not' requires Bool, got Int(1)"},
  };
  for (const Case& c : cases) EXPECT_EQ(message(eval_vm_unary(c.op, c.v)), c.want) << c.v.debug_string();
}

// Whole texts: literals at the Int and Float extremes, short-circuiting,
// variables and the path, edge, source and target views per context.
TEST(PathVm, ExpressionTable) {
  Fixture f;
  f.record.state.assign("x", PV::integer(2));
  f.record.state.assign("items", PV::list({PV::integer(1)}));
  enum Ctx { Init, Gather, Return };
  struct Case {
    std::string text;
    Ctx ctx;
    std::string want;
  };
  const std::vector<Case> cases = {
      {"1 = 1.0", Init, "ok: Bool(false)"},
      {"9223372036854775807 + 1", Init, "ok: Int(-9223372036854775808)"},
      {"-9223372036854775807 - 1 - 1", Init, "ok: Int(9223372036854775807)"},
      {"x * 3 + 1", Init, "ok: Int(7)"},
      {"false and undefined_var", Init, "ok: Bool(false)"},
      {"true or undefined_var", Init, "ok: Bool(true)"},
      {"true and undefined_var",
       Init, "VM variable 'undefined_var' is not defined; initialize it with INIT or assign it earlier in GATHER"},
      {"1 and true", Init, "VM operator 'and' requires Bool operands"},
      {"true and 1", Init, "VM operator 'and' requires Bool operands"},
      {"false or 1", Init, "VM operator 'or' requires Bool operands"},
      {"not 1", Init, "VM operator 'not' requires Bool, got Int(1)"},
      {"-true", Init, "VM unary '-' requires numeric operand, got Bool(true)"},
      {"null = null", Init, "ok: Bool(true)"},
      {"null < 1", Init, "VM comparison 'Lt' is not supported for values Null and Int(1)"},
      {"items", Init, "ok: List([Int(1)])"},
      {"path.depth", Init, "ok: Int(1)"},
      {"path.depth", Gather, "ok: Int(1)"},
      {"path.state", Init, "ok: Object([(\"x\", Int(2)), (\"items\", List([Int(1)]))])"},
      {"path.result", Return, "path.result cannot be used inside a RETURN expression in Path Queries F4-C"},
      {"path.nodes", Return, "VM path property 'path.nodes' is not supported in Path Queries F4-B"},
      {"path.start", Gather, "path.start is not available inside INIT or GATHER expressions; use it in RETURN or FIND"},
      {"path.end", Init, "path.end is not available inside INIT or GATHER expressions; use it in RETURN or FIND"},
      {"path.start", Return,
       "ok: Object([(\"id\", String(\"00000000-0000-0000-0000-000000000001\")), (\"label\", String(\"Person\"))])"},
      {"path.end", Return,
       "ok: Object([(\"id\", String(\"00000000-0000-0000-0000-000000000002\")), (\"label\", String(\"City\"))])"},
      {"source.id", Init, "VM context 'source' is only available while executing GATHER clauses"},
      {"target.name", Return, "VM context 'target' is only available while executing GATHER clauses"},
      {"edge.id", Init, "VM context 'edge' is only available while executing GATHER clauses"},
      {"edge.type = edge.edge_type", Gather, "ok: Bool(true)"},
      {"edge.type", Gather, "ok: String(\"LIVES_IN\")"},
      {"edge.label", Gather, "ok: String(\"x\")"},
      {"edge.w * 2", Gather, "ok: Int(10)"},
      {"edge.nope", Gather, "VM property 'edge.nope' is missing on edge 00000000-0000-0000-0000-000000000003"},
      {"source.id", Gather, "ok: String(\"00000000-0000-0000-0000-000000000001\")"},
      {"source.label", Gather, "ok: String(\"Person\")"},
      {"target.label", Gather, "ok: String(\"City\")"},
      {"source.name", Gather, "ok: String(\"ann\")"},
      {"target.name", Gather, "VM property 'target.name' is missing on node 00000000-0000-0000-0000-000000000002"},
      {"foo.bar", Gather, "VM object 'foo' is not supported in Path Queries F4-B"},
      {"source", Gather, "VM variable 'source' is not defined; initialize it with INIT or assign it earlier in GATHER"},
  };
  for (const Case& c : cases) {
    const VmContext& ctx = c.ctx == Init ? f.init : c.ctx == Gather ? f.gather : f.ret;
    EXPECT_EQ(message(eval_text(c.text, f.record, ctx)), c.want) << c.text;
  }
}

TEST(PathVm, CallsAndWildcardsAreRefusedOnlyWhenReached) {
  Fixture f;
  const auto call = ast::Expr::call("f", {});
  EXPECT_EQ(message(eval_vm_expr(call, f.record, f.init)),
            "Function calls are not supported inside quoted VM expressions in Path Queries F4-B");
  EXPECT_EQ(message(eval_vm_expr(ast::Expr::wildcard(), f.record, f.init)),
            "Wildcard is not supported inside quoted VM expressions in Path Queries F4-B");
  const auto skipped = ast::Expr::binary(ast::Expr::literal(PV::boolean(false)), BinaryOperator::And, call);
  EXPECT_EQ(message(eval_vm_expr(skipped, f.record, f.init)), "ok: Bool(false)");
}

TEST(PathVm, EmptyStateIsAnEmptyObject) {
  Fixture f;
  EXPECT_EQ(message(eval_text("path.state", PathEvalRecord{}, f.init)), "ok: Object([])");
}

// A left-grouped chain of many operators: no deep recursion.
TEST(PathVm, LongOperatorChains) {
  ast::Expr sum = ast::Expr::literal(PV::integer(0));
  ast::Expr conj = ast::Expr::literal(PV::boolean(true));
  for (int i = 0; i < 200000; ++i) {
    sum = ast::Expr::binary(std::move(sum), BinaryOperator::Add, ast::Expr::literal(PV::integer(1)));
    conj = ast::Expr::binary(std::move(conj), BinaryOperator::And, ast::Expr::literal(PV::boolean(true)));
  }
  Fixture f;
  EXPECT_EQ(message(eval_vm_expr(sum, f.record, f.init)), "ok: Int(200000)");
  EXPECT_EQ(message(eval_vm_expr(conj, f.record, f.init)), "ok: Bool(true)");
}

// Integer overflow in a child process: every case wraps or has its defined
// value, with no signal (x86 traps on INT64_MIN / -1 and INT64_MIN % -1 done
// in integers) and, under the sanitizer build, no report (reports end the
// child with a non-zero status and go to its stderr, which is checked).
TEST(PathVm, OverflowInAChildProcessWrapsWithoutSignalOrReport) {
  int err[2];
  ASSERT_EQ(::pipe(err), 0);
  std::fflush(nullptr);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::dup2(err[1], 2);
    ::close(err[0]);
    Fixture f;
    f.record.state.assign("min", PV::integer(kMin));
    f.record.state.assign("max", PV::integer(kMax));
    const std::pair<std::string, std::string> cases[] = {
        {"max + 1", "ok: Int(-9223372036854775808)"},
        {"min - 1", "ok: Int(9223372036854775807)"},
        {"max * 2", "ok: Int(-2)"},
        {"min * -1", "ok: Int(-9223372036854775808)"},
        {"-min", "ok: Int(-9223372036854775808)"},
        {"-max - 2", "ok: Int(9223372036854775807)"},
        {"min / -1", "ok: Float(9.223372036854776e18)"},
        {"min % -1", "ok: Int(0)"},
    };
    int wrong = 0;
    auto check = [&](const std::string& what, const DbResult<PV>& got, const std::string& want) {
      const std::string text = got ? "ok: " + got->debug_string() : got.error().text();
      if (text != want) {
        std::fprintf(stderr, "%s: %s, want %s\n", what.c_str(), text.c_str(), want.c_str());
        ++wrong;
      }
    };
    for (const auto& [text, want] : cases) check(text, eval_text(text, f.record, f.init), want);
    std::vector<Edge> edges;
    for (int64_t w : {kMax, int64_t{1}, kMin, kMin}) {
      Edge e = f.e;
      e.properties["w"] = PV::integer(w);
      edges.push_back(std::move(e));
    }
    check("path_sum", eval_path_reducer(edges, "path_sum", "w"), "ok: Int(-9223372036854775808)");
    std::fflush(stderr);
    ::_exit(wrong);
  }
  ::close(err[1]);
  std::string reported;
  char buf[4096];
  for (ssize_t n; (n = ::read(err[0], buf, sizeof buf)) > 0;) reported.append(buf, static_cast<size_t>(n));
  ::close(err[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_FALSE(WIFSIGNALED(status)) << "signal " << WTERMSIG(status) << "\n" << reported;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << reported;
  EXPECT_EQ(reported.find("runtime error"), std::string::npos) << reported;
}

}  // namespace
}  // namespace zudizid::query::zql::executor
