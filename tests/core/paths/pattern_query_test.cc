// The pattern road below FIND: LIMIT stopping the traversal of a
// quantified pattern (K10) and of a single hop (rows pulled), the names of a
// hop's two ends, and the aggregates and HAVING test over hop bindings.
#include <gtest/gtest.h>

#include "query/zql/executor/paths/binding_eval.h"
#include "query/zql/executor/pattern_entry.h"
#include "query/zql/parser/build_statement.h"
#include "tests/core/graph/graph_fixture.h"

namespace zudizid::query::zql::executor {
namespace {

using PV = PropertyValue;

ast::Query query_of(std::string_view text) {
  auto stmt = parser::parse_statement(text);
  EXPECT_TRUE(stmt) << text;
  return std::get<ast::Query>(stmt->node);
}

ast::Expr expr_of(std::string_view text) {
  auto q = query_of(std::string("FIND ") + std::string(text) + " FROM (a)-[r]->(b)");
  return std::get<ast::ExpressionProjection>(q.find.projections[0]).expr;
}

TEST(PatternQuery, LimitStopsTheTraversal) {
  graph::testing::TempDir dir;
  auto g = graph::testing::make_graph(dir.path());
  std::vector<Node> nodes;
  std::vector<Edge> edges;
  for (int i = 0; i < 10; ++i) {
    nodes.push_back(graph::testing::node(i, {{"name", PropertyValue::string("k" + std::to_string(i))}}));
    for (int j = 0; j < 10; ++j) {
      if (i != j) edges.push_back(graph::testing::edge(i * 10 + j, i, j));
    }
  }
  ASSERT_TRUE(graph::testing::commit(g, nodes, edges));
  auto stmt = parser::parse_statement("FIND b.name FROM (a:L {name: 'k0'})-[:E]->{1,9}(b) LIMIT 10");
  ASSERT_TRUE(stmt);
  QueryContext context(g);
  auto result = execute_pattern_query(context, std::get<ast::Query>(stmt->node));
  ASSERT_TRUE(result) << result.error().display();
  EXPECT_EQ(result->rows.size(), 10u);
  ASSERT_TRUE(context.path_profile);
  EXPECT_EQ(context.path_profile->bindings_examined, 10u);
  EXPECT_EQ(context.path_profile->bindings_emitted, 10u);
  // The nine depth-1 matches and the first of depth 2: two states expanded.
  EXPECT_EQ(context.path_profile->frontier_states_visited, 2u);
  EXPECT_EQ(context.path_profile->max_depth_observed, 2u);
}

TEST(PatternQuery, LimitStopsTheSingleHop) {
  graph::testing::TempDir dir;
  auto g = graph::testing::make_graph(dir.path());
  std::vector<Node> nodes{graph::testing::node(0)};
  std::vector<Edge> edges;
  for (int i = 1; i <= 50; ++i) {
    nodes.push_back(graph::testing::node(i));
    edges.push_back(graph::testing::edge(i, 0, i));
  }
  ASSERT_TRUE(graph::testing::commit(g, nodes, edges));
  // (query, rows, most bindings pulled)
  const std::vector<std::tuple<std::string, size_t, uint64_t>> cases = {
      {"FIND b FROM (a)-[:E]->(b) LIMIT 2", 2, 3},
      {"FIND b FROM (a)-[:E]->(b) LIMIT 0", 0, 1},
      {"FIND b FROM (a)-[:E]->(b) LIMIT 3 OFFSET 4", 3, 8},
      {"FIND b FROM (a)-[:E]->(b) WHERE b.x = 1 LIMIT 2", 0, 50},
      {"FIND DISTINCT a FROM (a)-[:E]->(b) LIMIT 2", 1, 50},
  };
  for (const auto& [text, rows, pulled] : cases) {
    QueryContext context(g);
    auto result = execute_pattern_query(context, query_of(text));
    ASSERT_TRUE(result) << result.error().display();
    EXPECT_EQ(result->rows.size(), rows) << text;
    EXPECT_LE(context.hop_bindings_pulled, pulled) << text;
    EXPECT_FALSE(PathProfile::metrics(context)) << "a single hop runs without path counters";
  }
  QueryContext context(g);
  ASSERT_TRUE(execute_pattern_query(context, query_of("FIND b FROM (a)-[:E]->{1,1}(b)")));
  auto metrics = PathProfile::metrics(context);
  ASSERT_TRUE(metrics);
  EXPECT_EQ(metrics->as_object()[0].second, PV::integer(50));
  EXPECT_FALSE(PathProfile::metrics(context));
}

TEST(BindingEval, EndNames) {
  // (pattern variables source, target, rel; query) -> source, target
  struct Case {
    std::optional<std::string> s, t, r;
    std::string query, source, target;
  };
  const std::vector<Case> cases = {
      {"a", std::nullopt, "r", "FIND a.name, b.x FROM (a)-[r]->() WHERE r.w > 1", "a", "b"},
      {std::nullopt, "m", std::nullopt, "FIND m.name FROM ()-[:R]->(m)", "n", "m"},
      {std::nullopt, std::nullopt, std::nullopt, "FIND count(*) FROM ()-[:R]->()", "n", "m"},
      {std::nullopt, std::nullopt, "r", "FIND r.w, x.name FROM ()-[r]->() WHERE y.k = 1", "x", "y"},
      {"a", "b", std::nullopt, "FIND z.name FROM (a)-[]->(b)", "a", "b"},
  };
  for (const auto& c : cases) {
    const EndNames names = resolve_end_names(c.s, c.t, c.r, query_of(c.query));
    EXPECT_EQ(names.source, c.source) << c.query;
    EXPECT_EQ(names.target, c.target) << c.query;
  }
}

TEST(BindingEval, AggregatesAndHaving) {
  auto node = [](int n, PropertyMap props) { return graph::testing::node(n, std::move(props)); };
  auto bind = [&](PV x) {
    Edge e = graph::testing::edge(1, 1, 2);
    e.properties["w"] = PV::integer(7);
    return Binding{node(1, {{"x", std::move(x)}, {"g", PV::integer(1)}}), node(2, {}), e};
  };
  const std::vector<Binding> mixed = {bind(PV::integer(1)), bind(PV::integer(2)), bind(PV::string("a"))};
  const std::vector<Binding> none = {bind(PV::string("a")), bind(PV::null())};
  const std::vector<Binding> firsts = {bind(PV::integer(1)), bind(PV::float64(1.0)), bind(PV::null())};
  const EndNames names{"a", "b", "r"};
  const aggregations::AlgorithmCache cache;
  // (expression, group, value or error text)
  const std::vector<std::tuple<std::string, const std::vector<Binding>*, std::string>> cases = {
      {"sum(a.x)", &mixed, "Float(3.0)"},
      {"SUM(a.x)", &mixed, "Float(3.0)"},
      {"avg(a.x)", &mixed, "Float(1.5)"},
      {"sum(a.x)", &none, "Float(0.0)"},
      {"avg(a.x)", &none, "Null"},
      {"max(a.x)", &firsts, "Int(1)"},
      {"min(a.x)", &firsts, "Int(1)"},
      {"min(a.x)", &none, "String(\"a\")"},
      {"max(a.missing)", &mixed, "Null"},
      {"count(a.x)", &none, "Int(1)"},
      {"count(*)", &none, "Int(2)"},
      {"count(r)", &none, "Int(2)"},
      {"sum(r.w * 2)", &mixed, "Float(42.0)"},
      {"pagerank(a)", &mixed, "Null"},
      {"median(a.x)", &mixed, "Unsupported aggregation for relationship patterns: median"},
      {"a.x", &mixed, "Not an aggregation expression"},
  };
  for (const auto& [text, group, want] : cases) {
    auto v = eval_binding_aggregate(expr_of(text), *group, names, cache);
    EXPECT_EQ(v ? v->debug_string() : v.error().text(), want) << text;
  }
  // HAVING over `mixed`, grouped by a.g
  const std::vector<ast::Expr> by = {expr_of("a.g")};
  const std::vector<PV> key = {PV::integer(5)};
  const GroupKeys keys{by, key};
  const std::vector<std::pair<std::string, std::string>> having = {
      {"count(*) > 2", "true"},
      {"count(*) > 3", "false"},
      {"count(*) < 4 AND sum(a.x) = 3.0", "true"},
      {"a.x + 1 > 1", "true"},          // the first binding's a.x is 1
      {"a.g = 5", "true"},              // the group's key value
      {"min(a.x) < max(a.x) OR x", "true"},
      {"foo(a.x) = 1", "Unknown function in WHERE: foo"},
  };
  for (const auto& [text, want] : having) {
    auto q = query_of("FIND a FROM (a)-[r]->(b) GROUP BY a.g HAVING " + text);
    auto ok = eval_group_condition(q.having->condition, std::span<const Binding>(mixed), names, keys, cache);
    EXPECT_EQ(ok ? (*ok ? "true" : "false") : ok.error().text(), want) << text;
  }
}

}  // namespace
}  // namespace zudizid::query::zql::executor
