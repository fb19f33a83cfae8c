// Generated VM texts (literals at the Int and Float extremes, path
// variables, deep nesting, random operator mixes) through path_eval and a
// GATHER program on a small path: every outcome is a value or an error,
// never a crash, a hang or a sanitizer report. PATH_VM_FUZZ_ITERATIONS
// overrides the count.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "query/zql/executor/paths/path_functions.h"
#include "query/zql/executor/paths/vm.h"
#include "query/zql/parser/vm_parser.h"
#include "tests/core/graph/graph_fixture.h"

#ifndef PATH_VM_FUZZ_DEFAULT_ITERATIONS
#define PATH_VM_FUZZ_DEFAULT_ITERATIONS 20000
#endif

namespace zudizid::query::zql::executor {
namespace {

const char* const kAtoms[] = {"9223372036854775807", "-9223372036854775808", "0", "-1", "1", "1.7976931348623157e308",
                              "-0.0", "0.0", "4.9e-324", "2.5", "true", "false", "null", "'s'", "''", "x", "y",
                              "path.depth", "path.state", "path.start", "path.result", "edge.w", "edge.id",
                              "source.label", "target.nope", "foo.bar"};
const char* const kOps[] = {" + ", " - ", " * ", " / ", " % ", " = ", " != ", " < ", " > ", " <= ", " >= ",
                            " and ", " or "};

std::string gen(std::mt19937_64& rng, int depth) {
  const int pick = static_cast<int>(rng() % 10);
  if (depth <= 0 || pick < 3) return kAtoms[rng() % std::size(kAtoms)];
  if (pick < 5) return std::string(rng() % 2 ? "-" : "not ") + gen(rng, depth - 1);
  if (pick < 7) return "(" + gen(rng, depth - 1) + ")";
  return gen(rng, depth - 1) + kOps[rng() % std::size(kOps)] + gen(rng, depth - 1);
}

TEST(PathVmFuzz, GeneratedTexts) {
  uint64_t iterations = PATH_VM_FUZZ_DEFAULT_ITERATIONS;
  if (const char* env = std::getenv("PATH_VM_FUZZ_ITERATIONS")) iterations = std::strtoull(env, nullptr, 10);
  graph::testing::TempDir dir;
  auto graph = graph::testing::make_graph(dir.path());
  PathBinding path;
  path.nodes = {graph::testing::node(1), graph::testing::node(2)};
  path.edges = {graph::testing::edge(1, 1, 2)};
  path.edges[0].properties["w"] = PropertyValue::integer(INT64_MIN);
  PathEnv env(graph);
  PathEvalRecord record;
  record.state.assign("x", PropertyValue::integer(INT64_MIN));
  record.state.assign("y", PropertyValue::float64(-0.0));
  std::mt19937_64 rng(42);
  uint64_t values = 0;
  for (uint64_t i = 0; i < iterations; ++i) {
    std::string text = gen(rng, static_cast<int>(rng() % 12));
    if (i % 97 == 0) text = std::string(200 + rng() % 800, '(') + "1" + std::string(200, ')');
    auto via_eval = run_path_eval(env, path, text, &record);
    auto gather = parser::parse_vm_assignment("x = " + text);
    if (gather) {
      VmContext context{.source = &path.nodes[0], .target = &path.nodes[1], .edge = &path.edges[0], .depth = 1};
      auto v = eval_vm_expr(gather->second, record, context);
      values += v.has_value();
    }
    values += via_eval.has_value();
  }
  EXPECT_GT(values, 0u);
}

}  // namespace
}  // namespace zudizid::query::zql::executor
