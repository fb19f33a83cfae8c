#include <fmt/format.h>

#include "query/zql/parser/build_statement.h"
#include "tests/core/zql_exec/exec_fixture.h"

namespace zudizid::query::zql::executor::testing {
namespace {

using WriteTest = ExecTest;

TEST_F(WriteTest, UpdateHonoursInlineMapAndWhere) {
  write("ADD (a:Person {name: 'Ann', age: 30})");
  write("ADD (b:Person {name: 'Bob', age: 40})");
  write("ADD (c:Person {name: 'Cy'})");
  auto s = write("UPDATE (n:Person {name: 'Bob'}) SET n.age = 41, n.city = 'Oslo'");
  EXPECT_EQ(s.nodes_updated, 1u);
  EXPECT_EQ(s.properties_changed, 2u);
  s = write("UPDATE (n:Person) SET n.flag = true WHERE !(n.age > 35)");
  EXPECT_EQ(s.nodes_updated, 2u);  // Ann (30) and Cy (no age: the comparison is false)
  s = write("UPDATE (:Person) SET n.flag = false WHERE n.name = 'Cy'");  // unnamed: the variable is n
  EXPECT_EQ(s.nodes_updated, 1u);
  s = write("UPDATE (n:Person) SET n.x = n.age");  // not a literal: logged, nothing changes
  EXPECT_EQ(s.nodes_updated, 0u);
}

TEST_F(WriteTest, DeleteSelectsByMapWhereAndLimit) {
  write("ADD (a:Person {name: 'Ann'})-[:KNOWS]->(b:Person {name: 'Bob'})");
  auto s = write("DELETE (n:Person {name: 'Bob'})");
  EXPECT_EQ(s.nodes_deleted, 1u);
  EXPECT_EQ(s.edges_deleted, 1u);
  EXPECT_EQ(nodes(), 1u);
  EXPECT_EQ(edges(), 0u);
  for (int i = 0; i < 5; ++i) write(fmt::format("ADD (n:N {{k: {}}})", i));
  EXPECT_EQ(write("DELETE (n:N) LIMIT 0").nodes_deleted, 0u);
  auto before = values("N", "k");
  EXPECT_EQ(write("DELETE (n:N) LIMIT 2 OFFSET 1").nodes_deleted, 2u);
  auto after = values("N", "k");
  EXPECT_EQ(after, (std::vector<std::string>{before[0], before[3], before[4]}));  // the 2nd and 3rd in id order went
}

TEST_F(WriteTest, EdgesDeletedCountsDistinctEdges) {
  // a -> b, b -> a, a -> a (self-loop), b -> c
  auto ids = write("ADD (a:P {n: 'a'})-[:R]->(b:P {n: 'b'})-[:R]->(a)-[:R]->(a)").created_ids;
  ASSERT_EQ(ids.size(), 2u);
  write("ADD (c:Q)");
  write(fmt::format("ADD (x:Q)"));
  auto s = write("DELETE (n:P)");
  EXPECT_EQ(s.nodes_deleted, 2u);
  EXPECT_EQ(s.edges_deleted, 3u);
  EXPECT_EQ(edges(), 0u);
}

TEST_F(WriteTest, AddHonoursDirection) {
  auto s = write("ADD (a:P {n: 'a'})<-[:R {w: 1}]-(b:P {n: 'b'})-[:S]->(a)");
  EXPECT_EQ(s.nodes_created, 2u);
  EXPECT_EQ(s.edges_created, 2u);
  auto a = *Uuid::parse(s.created_ids[0]);
  auto b = *Uuid::parse(s.created_ids[1]);
  auto r = g().get_incoming_edges(a);
  ASSERT_TRUE(r);
  ASSERT_EQ(r->size(), 2u);
  for (const Edge& e : *r) EXPECT_EQ(e.source, b);  // both point at a
  EXPECT_EQ(write("ADD (x)-[]->(y)").edges_created, 1u);
  EXPECT_EQ(error_of("ADD (x)<-[:R]->(y)"), "Query execution error: Relationship in ADD pattern needs a direction: -> or <-");
  EXPECT_EQ(error_of("ADD (x)-[:R]->{1,3}(y)"), "Query execution error: Relationship in ADD pattern cannot be quantified");
}

TEST_F(WriteTest, RelationshipStatementsFollowTheArrow) {
  write("ADD (a:P {n: 'a'})-[:R {w: 1}]->(b:P {n: 'b'})");
  write("ADD (c:P {n: 'c'})-[:R {w: 2}]->(d:P {n: 'd'})");
  // Incoming from b's side: the edge a -> b binds s = b, t = a.
  auto s = write("UPDATE (s:P {n: 'b'})<-[r:R]-(t:P) SET t.seen = true, r.w = 10");
  EXPECT_EQ(s.nodes_updated, 1u);
  EXPECT_EQ(s.edges_updated, 1u);
  // Only a was marked (t of the incoming hop); the assignment did not reach b.
  int seen = 0;
  for (const auto& v : values("P", "seen")) seen += v == "Bool(true)";
  EXPECT_EQ(seen, 1);
  // Per variable: s gets x, t gets y.
  s = write("UPDATE (s:P)-[:R {w: 2}]->(t:P) SET s.x = 1, t.y = 2");
  EXPECT_EQ(s.nodes_updated, 2u);
  EXPECT_EQ(s.properties_changed, 2u);
  auto c = g().nodes_with_label("P").collect();
  for (const Node& n : *c) {
    const auto& name = n.properties.at("n").as_string();
    EXPECT_EQ(n.properties.contains("x"), name == "c") << name;
    EXPECT_EQ(n.properties.contains("y"), name == "d") << name;
  }
  // Edge-only assignments leave nodes alone.
  s = write("UPDATE (a)-[r:R]->(b) SET r.z = 1");
  EXPECT_EQ(s.nodes_updated, 0u);
  EXPECT_EQ(s.edges_updated, 2u);
  // Wrong direction matches nothing.
  EXPECT_EQ(write("DELETE (s:P {n: 'a'})<-[:R]-(t)").edges_deleted, 0u);
  EXPECT_EQ(write("DELETE (s:P {n: 'a'})-[:R]-(t)").edges_deleted, 1u);  // "-[]-" reads as ->
  EXPECT_EQ(write("DELETE (s:P)<-[:R]->(t)").edges_deleted, 1u);         // both ways, c -> d once
}

TEST_F(WriteTest, ShapeRefusals) {
  const std::pair<const char*, const char*> cases[] = {
      {"DELETE (a)-[:R]->(b)-[:S]->(c)", "Query execution error: UPDATE and DELETE take one relationship: node -> rel -> node"},
      {"UPDATE (a)-[:R]->{1,2}(b) SET a.x = 1", "Query execution error: UPDATE and DELETE do not take quantified relationships"},
      {"UPDATE (n) SET n.x = 1 WHERE foo(n) = 1", "Query execution error: Unknown function in WHERE: foo"},
      {"DELETE (n) WHERE pagerank(n) > 1", "Query execution error: Unknown function in WHERE: pagerank"},
  };
  write("ADD (a:P)-[:R]->(b:P)");
  for (const auto& [text, message] : cases) EXPECT_EQ(error_of(text), message) << text;
  EXPECT_EQ(nodes(), 2u);
  EXPECT_EQ(edges(), 1u);
}

// A failure before the commit, injected at the 500th target, leaves every
// target as it was.
TEST_F(WriteTest, FailureBeforeCommitChangesNothing) {
  std::string add = "ADD (n:N {k: 0})";
  for (int i = 1; i < 1000; ++i) add += fmt::format("-[:R]->(n{}:N {{k: {}}})", i, i);
  ASSERT_EQ(write(add).nodes_created, 1000u);
  for (const char* text : {"UPDATE (n:N) SET n.k = -1, n.extra = 'x'", "DELETE (n:N)", "DELETE (a:N)-[r:R]->(b:N)"}) {
    auto statement = parser::parse_statement(text);
    ASSERT_TRUE(statement);
    QueryContext context(g().clone());
    uint64_t reached = 0;
    context.before_target_write = [&](uint64_t n) -> DbResult<void> {
      reached = n;
      if (n == 499) return std::unexpected(DbError::message("injected failure"));
      return {};
    };
    auto r = execute_parsed(context, std::move(*statement));
    ASSERT_FALSE(r) << text;
    EXPECT_EQ(r.error().display(), "injected failure");
    EXPECT_EQ(reached, 499u);
    EXPECT_EQ(nodes(), 1000u) << text;
    EXPECT_EQ(edges(), 999u) << text;
    for (const auto& v : values("N", "extra")) ASSERT_EQ(v, "-") << text;
  }
  // Nothing held on: the same statements now run.
  EXPECT_EQ(write("UPDATE (n:N) SET n.k = -1").nodes_updated, 1000u);
  EXPECT_EQ(write("DELETE (n:N)").edges_deleted, 999u);
}

TEST_F(WriteTest, UpdateKeepsVersions) {
  auto id = *Uuid::parse(write("ADD (n:P {v: 1})").created_ids[0]);
  write("UPDATE (n:P) SET n.v = 2");
  const auto& storage = *g().storage();
  auto current = storage.get_current_version(id);
  ASSERT_TRUE(current) << current.error().display();
  ASSERT_GE(*current, 2u);
  auto old_version = storage.get_node_version(id, *current - 1);
  auto new_version = storage.get_node_version(id, *current);
  ASSERT_TRUE(old_version && new_version);
  EXPECT_TRUE(old_version->node_data.properties.at("v").eq(PropertyValue::integer(1)));
  EXPECT_TRUE(new_version->node_data.properties.at("v").eq(PropertyValue::integer(2)));
}

// Hash and B-tree indexes seed the start nodes; the answers match a scan.
TEST_F(WriteTest, IndexAnswersEqualScan) {
  for (int i = 0; i < 60; ++i) write(fmt::format("ADD (n:P {{k: {}, g: {}}})", i, i % 3));
  auto count_where = [&](const std::string& where) {
    return write("UPDATE (n:P) SET n.touched = true WHERE " + where).nodes_updated;
  };
  const std::vector<std::string> probes = {"n.g = 1", "n.g = 1 AND n.k > 30", "n.g = 1.0", "n.k = 7",
                                           "n.g = 2 OR n.k = 0"};
  std::vector<uint64_t> scanned;
  for (const auto& p : probes) scanned.push_back(count_where(p));
  run("CREATE INDEX ON P(g) TYPE hash");
  run("CREATE INDEX ON P(k) TYPE btree");
  for (size_t i = 0; i < probes.size(); ++i) EXPECT_EQ(count_where(probes[i]), scanned[i]) << probes[i];
  // After writes of every kind the index still answers like the scan.
  write("UPDATE (n:P {k: 7}) SET n.g = 1");
  write("ADD (n:P {k: 100, g: 1})");
  write("DELETE (n:P {k: 10})");
  const uint64_t via_index = write("UPDATE (n:P {g: 1}) SET n.t2 = 1").nodes_updated;
  run("DROP INDEX P_g");
  EXPECT_EQ(write("UPDATE (n:P {g: 1}) SET n.t2 = 1").nodes_updated, via_index);
  EXPECT_EQ(via_index, 20u);  // 20 with k % 3 = 1 (k=7 among them), less k=10, plus k=100
}

}  // namespace
}  // namespace zudizid::query::zql::executor::testing
