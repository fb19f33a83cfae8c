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
}

TEST_F(WriteTest, DeleteHonoursInlineMap) {
  write("ADD (a:Person {name: 'Ann'})-[:KNOWS]->(b:Person {name: 'Bob'})");
  auto s = write("DELETE (n:Person {name: 'Bob'})");
  EXPECT_EQ(s.nodes_deleted, 1u);
  EXPECT_EQ(s.edges_deleted, 1u);
  EXPECT_EQ(nodes(), 1u);
  EXPECT_EQ(edges(), 0u);
}

}  // namespace
}  // namespace zudizid::query::zql::executor::testing
