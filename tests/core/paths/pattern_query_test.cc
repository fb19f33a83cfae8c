// FIND over a quantified pattern on the complete digraph K10: with LIMIT and
// no ORDER BY or DISTINCT the traversal stops after the rows it needs, and
// the counters show it.
#include <gtest/gtest.h>

#include "query/zql/executor/pattern_entry.h"
#include "query/zql/parser/build_statement.h"
#include "tests/core/graph/graph_fixture.h"

namespace zudizid::query::zql::executor {
namespace {

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

}  // namespace
}  // namespace zudizid::query::zql::executor
