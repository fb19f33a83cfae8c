// Planner statistics from the schema cache, and the two-decimal rendering
// of the average degree.
#include <gtest/gtest.h>

#include "../index/fixtures.h"
#include "graph/stats.h"

namespace zudizid::graph {
namespace {

using namespace zudizid::testing;

TEST(EngineStats, CountsCardinalityAndDegree) {
  FakeSource src;
  for (int i = 0; i < 7; ++i) src.nodes.push_back(node(i, "Person", {{"name", Str("p")}, {"age", Int(i)}}));
  src.nodes.push_back(node(100, "City", {{"zip", Int(1)}}));
  src.nodes.push_back(node(101, "Empty"));
  src.nodes.push_back(node(102, "Empty"));
  for (int i = 0; i < 5; ++i) src.edges.push_back(edge(200 + i, i, i + 1, "KNOWS"));
  schema::SchemaCache cache;
  auto s = gather_stats(cache, src);
  ASSERT_TRUE(s.has_value());
  EXPECT_EQ(s->total_nodes, 10u);
  EXPECT_EQ(s->total_edges, 5u);
  EXPECT_DOUBLE_EQ(s->avg_degree, 0.5);
  EXPECT_EQ(s->label_counts.at("Person"), 7u);
  EXPECT_EQ(s->label_counts.at("Empty"), 2u);
  EXPECT_EQ(s->edge_type_counts.at("KNOWS"), 5u);
  const std::unordered_map<std::string, std::uint64_t> expected = {
      {"Person_name", 3}, {"Person_age", 3}, {"City_zip", 0}};
  EXPECT_EQ(s->property_cardinality, expected);
}

TEST(EngineStats, EmptyDatabaseAndFailingSnapshot) {
  FakeSource src;
  schema::SchemaCache cache;
  auto s = gather_stats(cache, src);
  ASSERT_TRUE(s.has_value());
  EXPECT_TRUE(s->label_counts.empty() && s->edge_type_counts.empty() && s->property_cardinality.empty());
  EXPECT_EQ(s->total_nodes, 0u);
  EXPECT_EQ(s->avg_degree, 0.0);

  FakeSource broken;
  broken.fail_nodes = DbError(DbError::Kind::Message, "scan failed");
  schema::SchemaCache cache2;
  auto e = gather_stats(cache2, broken);
  ASSERT_FALSE(e.has_value());
  EXPECT_EQ(e.error().display(), "scan failed");
}

TEST(EngineStats, CollidingKeysKeepOneEntry) {
  FakeSource src;
  src.nodes = {node(1, "a_b", {{"c", Int(1)}}), node(2, "a", {{"b_c", Int(1)}}), node(3, "a", {{"b_c", Int(2)}})};
  schema::SchemaCache cache;
  auto s = gather_stats(cache, src);
  ASSERT_TRUE(s.has_value());
  ASSERT_EQ(s->property_cardinality.size(), 1u);
  std::uint64_t v = s->property_cardinality.at("a_b_c");
  EXPECT_TRUE(v == 0 || v == 1);
}

TEST(EngineStats, AverageDegreeText) {
  const std::pair<double, const char*> cases[] = {
      {1.0 / 3.0, "0.33"}, {0.5, "0.50"}, {0.0, "0.00"}, {2.0 / 3.0, "0.67"}, {12.0, "12.00"}};
  for (auto [v, text] : cases) EXPECT_EQ(format_avg_degree(v), text);
}

}  // namespace
}  // namespace zudizid::graph
