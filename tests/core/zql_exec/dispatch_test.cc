#include "graph/indexes.h"
#include "tests/core/zql_exec/exec_fixture.h"

namespace zudizid::query::zql::executor::testing {
namespace {

using DispatchTest = ExecTest;

TEST_F(DispatchTest, IndexStatements) {
  auto created = run("CREATE INDEX ON Person(name) TYPE BTREE");
  EXPECT_EQ(created.kind_name(), "index");
  EXPECT_EQ(created.summary(), "Index created: Person_name");
  EXPECT_EQ(created.message_text(), "Index created: Person_name");
  run("CREATE INDEX ON Person(age)");
  std::map<std::string, index::IndexType> types;
  for (const auto& m : graph::list_indexes(g())) types[m.name] = m.index_type;
  EXPECT_EQ(types["Person_name"], index::IndexType::BTree);
  EXPECT_EQ(types["Person_age"], index::IndexType::Hash);
  EXPECT_EQ(run("DROP INDEX Person_name").summary(), "Index dropped: Person_name");
  EXPECT_EQ(graph::list_indexes(g()).size(), 1u);
  EXPECT_EQ(error_of("CREATE INDEX ON Person(age)"), "Index error: Index Person_age already exists");
}

TEST_F(DispatchTest, SketchAndCommitOnlyAnswer) {
  auto sketch = run("SKETCH s = ADD (n:Person {name: 'Ann'})");
  EXPECT_EQ(sketch.kind_name(), "message");
  EXPECT_EQ(sketch.summary(), "SKETCH: not yet available via execute_statement. Use SketchManager directly.");
  EXPECT_EQ(run("COMMIT s").summary(), "COMMIT: not yet available via execute_statement. Use SketchManager directly.");
  EXPECT_EQ(nodes(), 0u);
}

TEST_F(DispatchTest, ParseErrorsAndWriteSummaries) {
  EXPECT_TRUE(error_of("ADD (a) ; ADD (b)").starts_with("Query parse error: Parse error: ")) << error_of("ADD (a);");
  auto add = run("ADD (a:P)-[:R]->(b:P)");
  EXPECT_EQ(add.kind_name(), "write");
  EXPECT_EQ(add.summary(), "2 nodes created, 1 edges created, 0 nodes deleted, 0 edges deleted, 0 nodes updated, 0 edges updated");
  EXPECT_EQ(add.write_summary()->created_ids.size(), 2u);
  EXPECT_EQ(add.write_summary()->created_ids[0].size(), 36u);
  EXPECT_EQ(add.query_result(), nullptr);
  EXPECT_FALSE(add.message_text());
}

TEST(StatementResultText, ProfileAndExportSummaries) {
  ProfileResult p;
  p.rows_returned = 3;
  p.execution_ms = 1.23456;
  EXPECT_EQ(StatementResult::profile(p).summary(), "PROFILE query: 3 rows, 1.235 ms");
  auto e = StatementResult::export_done({"CSV", "written", 4});
  EXPECT_EQ(e.summary(), "Exported 4 rows as CSV");
  EXPECT_EQ(e.message_text(), "Exported 4 rows as CSV");
  EXPECT_EQ(StatementResult::query({}).summary(), "0 rows returned");
}

}  // namespace
}  // namespace zudizid::query::zql::executor::testing
