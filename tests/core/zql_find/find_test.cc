// FIND over node patterns end to end through statement dispatch: columns
// per projection, the finishing order (DISTINCT, ORDER BY, LIMIT last),
// aggregation and HAVING, and the same rows with a hash index, a B-tree
// index or none.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include "graph/embeddings.h"
#include "tests/core/zql_exec/exec_fixture.h"

namespace zudizid::query::zql::executor {
namespace {

class Find : public testing::ExecTest {
 protected:
  void SetUp() override {
    ExecTest::SetUp();
    // name, age, city; one node without age, one Int/String clash on city.
    const char* people[] = {
        "{name: 'ann', age: 30, city: 'Oslo'}", "{name: 'bob', age: 41, city: 'Rome'}",
        "{name: 'cy', age: 30, city: 'Oslo'}",  "{name: 'dee', age: 100, city: 'Rome'}",
        "{name: 'eve', city: 'Oslo'}",          "{name: 'fay', age: 7, city: 3}",
        "{name: 'gus', age: 8, city: '3'}",     "{name: 'hal', age: 30, city: 'a|b', zone: 'c'}",
        "{name: 'ivy', age: 31, city: 'a', zone: 'b|c'}",
    };
    for (const char* p : people) write(fmt::format("ADD (n:Person {})", p));
    write("ADD (n:Pet {name: 'rex'})");
  }

  // Columns, then each row as "col=value" over the columns (absent "-").
  std::vector<std::string> rows(std::string_view zql) {
    auto r = run(zql);
    std::vector<std::string> out;
    const QueryResult* q = r.query_result();
    if (!q) return {"no query result"};
    out.push_back(fmt::format("{}", fmt::join(q->columns, ",")));
    for (const Row& row : q->rows) {
      std::string line;
      for (const auto& c : q->columns) {
        auto it = row.find(c);
        line += (line.empty() ? "" : " ") + c + "=" + (it == row.end() ? "-" : it->second.debug_string());
      }
      out.push_back(line);
    }
    return out;
  }
  using Rows = std::vector<std::string>;
};

TEST_F(Find, ColumnsAndRows) {
  EXPECT_EQ(rows("FIND n.name AS who, n.age FROM (n:Person) WHERE n.age > 40 ORDER BY n.age"),
            (Rows{"who,n.age", "who=String(\"bob\") n.age=Int(41)", "who=String(\"dee\") n.age=Int(100)"}));
  EXPECT_EQ(rows("FIND n.missing, n.age + 1 FROM (n:Person) WHERE n.name = 'ann'"), (Rows{"n.missing", "n.missing=-"}));
  auto star = run("FIND * FROM (n:Pet)");
  ASSERT_TRUE(star.query_result());
  EXPECT_EQ(star.query_result()->columns, std::vector<std::string>{"*"});
  EXPECT_EQ(star.query_result()->rows.at(0).at("n.name"), PropertyValue::string("rex"));
  EXPECT_EQ(star.query_result()->rows.at(0).at("n.label"), PropertyValue::string("Pet"));
  EXPECT_EQ(rows("FIND p.name FROM (p:Person) WHERE p.age > 35 ORDER BY p.age DESC"),
            (Rows{"p.name", "p.name=String(\"dee\")", "p.name=String(\"bob\")"}))
      << "ORDER BY key removed after sorting";
  EXPECT_EQ(rows("FIND n.name FROM (:Pet)"), (Rows{"n.name", "n.name=String(\"rex\")"}));
  EXPECT_EQ(rows("FIND n.name FROM (n:Nobody)"), (Rows{"n.name"}));
  // n.* and all(n) are one projection: the column n.*, which no row fills.
  EXPECT_EQ(rows("FIND n.*, n.name FROM (n:Pet)"), (Rows{"n.*,n.name", "n.*=- n.name=String(\"rex\")"}));
  EXPECT_EQ(rows("FIND n.*, n.name FROM (n:Pet)"), rows("FIND ALL(n), n.name FROM (n:Pet)"));
  EXPECT_EQ(rows("FIND DISTINCT n.* FROM (n:Person) WHERE n.age = 30"), rows("FIND DISTINCT all(n) FROM (n:Person) WHERE n.age = 30"));
}

TEST_F(Find, LimitAppliesLastAndDistinctComparesValues) {
  EXPECT_EQ(rows("FIND DISTINCT n.age FROM (n:Person) WHERE n.age = 30 LIMIT 5"), (Rows{"n.age", "n.age=Int(30)"}));
  EXPECT_EQ(rows("FIND DISTINCT n.city FROM (n:Person) WHERE n.age < 10 ORDER BY n.city"),
            (Rows{"n.city", "n.city=Int(3)", "n.city=String(\"3\")"}));
  EXPECT_EQ(rows("FIND n.name FROM (n:Person) ORDER BY n.name LIMIT 2 OFFSET 7"),
            (Rows{"n.name", "n.name=String(\"hal\")", "n.name=String(\"ivy\")"}));
  EXPECT_EQ(rows("FIND n.name FROM (n:Person) ORDER BY n.name LIMIT 0"), (Rows{"n.name"}));
  EXPECT_EQ(rows("FIND n.name FROM (n:Person) ORDER BY n.name LIMIT 3 OFFSET 50"), (Rows{"n.name"}));
  // DISTINCT on "*": rows differ by their values, not by Null.
  EXPECT_EQ(run("FIND DISTINCT * FROM (n:Person)").query_result()->rows.size(), 9u);
}

TEST_F(Find, GroupsByValuesWithHaving) {
  EXPECT_EQ(rows("FIND n.city, count(n) AS c FROM (n:Person) WHERE n.age < 10 GROUP BY n.city").size(), 3u)
      << "Int 3 and String 3 are two groups";
  EXPECT_EQ(rows("FIND n.city, n.zone, count(n) AS c FROM (n:Person) WHERE n.age > 30 AND n.age < 40 OR n.name = "
                 "'hal' GROUP BY n.city, n.zone")
                .size(),
            3u)
      << "a|b,c and a,b|c are two groups";
  auto grouped = run(
      "FIND n.city AS c, count(n) AS k, avg(n.age) AS a, min(n.age) AS lo, max(n.age) AS hi FROM (n:Person) "
      "GROUP BY n.city HAVING count(n) > 1 ORDER BY c");
  const QueryResult* q = grouped.query_result();
  ASSERT_TRUE(q);
  EXPECT_EQ(q->columns, (std::vector<std::string>{"n.id", "c", "k", "a", "lo", "hi"}));
  ASSERT_EQ(q->rows.size(), 2u);
  EXPECT_EQ(q->rows[0].at("c"), PropertyValue::string("Oslo"));
  EXPECT_EQ(q->rows[0].at("k"), PropertyValue::integer(3));
  EXPECT_EQ(q->rows[0].at("a"), PropertyValue::float64(30.0)) << "eve has no age: not in the divisor";
  EXPECT_EQ(q->rows[0].at("lo"), PropertyValue::integer(30));
  EXPECT_EQ(q->rows[1].at("hi"), PropertyValue::integer(100));
  EXPECT_EQ(rows("FIND n.city, count(n) AS k FROM (n:Person) GROUP BY n.city HAVING count(n) > 100"),
            (Rows{"n.id,n.city,k"}));
  EXPECT_EQ(rows("FIND avg(n.age) AS a FROM (n:Person) WHERE n.name = 'eve'"), (Rows{"a", "a=Null"}));
}

TEST_F(Find, Refusals) {
  const std::pair<const char*, const char*> cases[] = {
      {"FIND n FROM (n:Person) AT TIMESTAMP 5",
       "Query execution error: AT TIMESTAMP is not supported: FIND reads the current data only"},
      {"FIND path.depth FROM (n:Person)",
       "Query execution error: path.* is only supported for a single linear pattern with at least one relationship "
       "in Path Queries F2"},
      {"FIND path.depth, path.foo FROM (n:Person)",
       "Query execution error: Unknown path metadata property 'path.foo' in Path Queries F2"},
      {"FIND n FROM (n:Person) WHERE count(n) > 1",
       "Semantic validation error: Aggregation functions not allowed in WHERE clause. Use HAVING instead."},
      {"FIND knn_nodes(n, -1, 'm') FROM (n:Person)", "Query execution error: knn_nodes: k must be a positive integer"},
      {"FIND n FROM (n:Person) WHERE similar_to(n, 'nobody')",
       "Query execution error: similar_to: reference node 'nobody' not found"},
      {"FIND n FROM (n:Person) WHERE similar_to(n, 'ann', 'm') OR n.age > 3",
       "Query execution error: similar_to: reference node 'ann' has no embedding for model 'm'"},
      {"FIND n.name FROM (n:Person) EXPORT ARROW",
       "Query execution error: EXPORT ARROW is not supported: use Graph.to_arrow, edges_to_arrow or "
       "to_arrow_complete for Arrow IPC bytes"},
      {"FIND min(n.nope) FROM (n:Person)", "Query execution error: No values found for min()"},
  };
  for (const auto& [zql, error] : cases) EXPECT_EQ(error_of(zql), error) << zql;
  EXPECT_EQ(error_of("FIND path.name FROM (path:Person) WHERE path.name = 'ann'"), "");
}

TEST_F(Find, IndexesGiveTheSameRows) {
  const char* queries[] = {
      "FIND n.name, n.age FROM (n:Person) WHERE n.city = 'Oslo'",
      "FIND n.name FROM (n:Person) WHERE n.city = 'Oslo' AND n.age > 29 ORDER BY n.name DESC LIMIT 2",
      "FIND * FROM (n:Person) WHERE n.city = 'Rome'",
      "FIND n.city, count(n) AS c, avg(n.age) AS a FROM (n:Person) WHERE n.city = 'Oslo' GROUP BY n.city",
      "FIND DISTINCT n.age FROM (n:Person {city: 'Oslo'}) ORDER BY n.age",
      "FIND n.name FROM (n:Person) WHERE n.city = 3",
  };
  std::vector<std::vector<Rows>> answers(3);
  for (const char* zql : queries) answers[0].push_back(rows(zql));
  run("CREATE INDEX ON Person(city)");
  for (const char* zql : queries) answers[1].push_back(rows(zql));
  run("DROP INDEX Person_city");
  run("CREATE INDEX ON Person(city) TYPE BTREE");
  for (const char* zql : queries) answers[2].push_back(rows(zql));
  EXPECT_EQ(answers[0], answers[1]);
  EXPECT_EQ(answers[0], answers[2]);
  EXPECT_EQ(answers[0][0].size(), 4u);
}

TEST_F(Find, ExplainAndProfile) {
  run("CREATE INDEX ON Person(name)");
  for (int i = 0; i < 2; ++i) write(fmt::format("ADD (n:Person {{name: 'x{}'}})", i));
  auto plain = run("EXPLAIN FIND n FROM (n:Person)");
  ASSERT_TRUE(plain.plan());
  EXPECT_NE(plain.plan()->find("\u2192 LABEL SCAN: Person | rows=~11 | cost=11.00"), std::string::npos) << *plain.plan();
  EXPECT_NE(plain.plan()->find("\u2502 Estimated Time: 0.01ms"), std::string::npos) << *plain.plan();
  auto unlabeled = run("EXPLAIN FIND n FROM (n)");
  ASSERT_TRUE(unlabeled.plan());
  EXPECT_NE(unlabeled.plan()->find("LABEL SCAN: (all nodes) | rows=~12"), std::string::npos) << *unlabeled.plan();
  auto seek = run("EXPLAIN FIND n FROM (n:Person) WHERE n.name = 'ann'");
  EXPECT_NE(seek.plan()->find("\u2192 INDEX SEEK: Person_name | rows=~2 | cost=10.20"), std::string::npos)
      << *seek.plan();
  auto range = run("EXPLAIN FIND n FROM (n:Person) WHERE n.name > 'ann'");
  EXPECT_NE(range.plan()->find("LABEL SCAN: Person"), std::string::npos) << "only equalities use an index";
  auto notes = run("EXPLAIN FIND community_fast(n), LEIDEN(n) FROM (n:Person)");
  EXPECT_NE(notes.plan()->find("\nCost note: community_fast() uses approximate"), std::string::npos);
  EXPECT_NE(notes.plan()->find("\nCost note: leiden() runs Leiden CPM"), std::string::npos);

  auto profile = run("PROFILE FIND n.name FROM (n:Person) WHERE n.age > 40");
  const ProfileResult* p = profile.profile_result();
  ASSERT_TRUE(p);
  EXPECT_EQ(p->columns, std::vector<std::string>{"n.name"});
  EXPECT_EQ(p->rows_returned, 2u);
  EXPECT_FALSE(p->path_query);
  EXPECT_FALSE(p->path_metrics);
  EXPECT_NE(p->plan.find("Query Execution Plan"), std::string::npos);
}

TEST_F(Find, VectorSearchUnderOrAndWithOffset) {
  // Embeddings: ann, cy, hal near each other; the rest far.
  auto people = g().nodes_with_label("Person").collect();
  ASSERT_TRUE(people);
  for (const Node& n : *people) {
    const std::string& name = n.properties.at("name").as_string();
    const bool near = name == "ann" || name == "cy" || name == "hal";
    ASSERT_TRUE(graph::add_node_embedding(g(), n.id, near ? std::vector<float>{1, 0.1f} : std::vector<float>{0.1f, 1}, "m"));
  }
  EXPECT_EQ(rows("FIND n.name FROM (n:Person) WHERE similar_to(n, 'ann', 'm') ORDER BY n.name LIMIT 3"),
            (Rows{"n.name", "n.name=String(\"ann\")", "n.name=String(\"cy\")", "n.name=String(\"hal\")"}));
  // OR keeps the other side's nodes: membership, not a hard filter.
  EXPECT_EQ(rows("FIND n.name FROM (n:Person) WHERE similar_to(n, 'ann', 'm') OR n.age > 90 ORDER BY n.name LIMIT 1")
                .size(),
            2u);
  EXPECT_EQ(run("FIND n.name FROM (n:Person) WHERE similar_to(n, 'ann', 'm') OR n.age > 90 ORDER BY n.name")
                .query_result()
                ->rows.size(),
            9u)
      << "k is 10 without LIMIT: every person";
  // k = limit + offset: the second page is there.
  EXPECT_EQ(rows("FIND n.name FROM (n:Person) WHERE similar_to(n, 'ann', 'm') ORDER BY n.name LIMIT 1 OFFSET 2"),
            (Rows{"n.name", "n.name=String(\"hal\")"}))
      << "k = 3: the three near ones, the page after two holds hal";
  auto knn = rows("FIND knn_nodes(n, 2, 'm') AS k FROM (n:Person) WHERE n.name = 'ann'");
  ASSERT_EQ(knn.size(), 2u);
  EXPECT_EQ(knn[1].size(), std::string("k=String(\"[\\\"\\\",\\\"\\\"]\")").size() + 2 * 36) << knn[1];
}

}  // namespace
}  // namespace zudizid::query::zql::executor
