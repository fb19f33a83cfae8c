// Statement validation: each rule's refusal text, the order of the rules and
// the warnings, from parsed ZQL.
#include <gtest/gtest.h>

#include "query/zql/executor/validation/validate.h"
#include "query/zql/parser/build_statement.h"

namespace zudizid::query::zql::executor {
namespace {

struct Case {
  const char* zql;
  const char* error;  // nullptr: accepted
  int warning = -1;   // kind of the single warning; -1: none
};

const std::string kPathShape =
    "Path embedding functions are only supported for a single path pattern with at least one relationship in "
    "PathEmbedding E-7";

TEST(Validate, RulesInOrder) {
  const Case cases[] = {
      {"FIND n.city, count(n) FROM (n:P) GROUP BY n.city HAVING count(n) > 2", nullptr},
      {"FIND n.city, count(n) FROM (n:P) GROUP BY n.city HAVING avg(n.age) > 30",
       "Column n.age must appear in GROUP BY to use in HAVING"},
      {"FIND n.city, count(n) FROM (n:P) GROUP BY n.city HAVING upper(n.name) = 'X'",
       "HAVING can only use aggregation or algorithm functions, got: upper"},
      {"FIND n.city, count(n) FROM (n:P) GROUP BY n.city HAVING sum(n.city) > 1", nullptr},
      {"FIND n FROM (n:P) HAVING PageRank(n) > 0.1", nullptr},
      {"FIND n FROM (n:P) HAVING n.age > 3", "HAVING clause requires GROUP BY"},
      // HAVING without GROUP BY is reported before the aggregation in WHERE.
      {"FIND n FROM (n:P) WHERE count(n) > 1 HAVING n.age > 3", "HAVING clause requires GROUP BY"},
      {"FIND n FROM (n:P) WHERE count(n) > 1", "Aggregation functions not allowed in WHERE clause. Use HAVING instead."},
      {"FIND n FROM (n:P) WHERE n.x = 1 AND SUM(n.y) > 2",
       "Aggregation functions not allowed in WHERE clause. Use HAVING instead."},
      {"FIND n FROM (n:P) WHERE knn_nodes(n, 3, 'm') = 1", nullptr},
      {"FIND n FROM (n:P) WHERE n.a > 1 INIT 'a = 0'",
       "INIT/GATHER are only supported for a single pattern with at least one relationship in Path Queries F4-B"},
      {"FIND n FROM (n)-[:R]->(m) ORDER BY PATH_EVAL('x')",
       "path_eval(\"...\") is not supported in ORDER BY in Path Queries F4-B"},
      {"FIND n FROM (n)-[:R]->(m) ORDER BY upper(path_sum('w'))", nullptr},
      {"FIND n FROM (n)-[:R]->(m) ORDER BY Path_Sum('w') * 2",
       "Path reducers (path_sum, path_min, path_max, path_avg) are not supported in ORDER BY in Path Queries F3"},
      {"FIND n FROM (n)-[:R]->(m) WHERE path.start = 1",
       "path.start is not allowed in WHERE in Path Queries F4-C; use it in FIND"},
      {"FIND path.result FROM (n)-[:R]->(m)", "path.result requires a RETURN clause in Path Queries F4-C"},
      {"FIND PATH.result, path.Result FROM (n)-[:R]->(m)", nullptr},
      {"FIND n FROM (n:P) WHERE path_end_instanceof('C')",
       "Semantic path filters are only supported for a single path pattern with at least one relationship in Path "
       "Queries F4-D.1"},
      {"FIND path_end_instanceof('C') FROM (n)-[:R]->(m)",
       "Semantic path filters are only supported in WHERE in Path Queries F4-D.1"},
      {"FIND path_has_embeddings('m') FROM (n)-[:R]->(m)",
       "path_has_embeddings(\"model\") was replaced in PathEmbedding E-7; use path_has_embeddings(node_model, "
       "edge_model)"},
      {"FIND n FROM (n)-[:R]->(m) WHERE path_has_embeddings('a', 'b')", nullptr},
      {"FIND path_has_embeddings(n, 'b') FROM (n)-[:R]->(m)",
       "path_has_embeddings(node_model, edge_model) requires exactly 2 string literal model names in PathEmbedding "
       "E-7"},
      {"FIND path_embedding('a', 'b') FROM (n:P)", kPathShape.c_str()},
      {"FIND path_knn_references('a', 'b', 3) FROM (n:P)",
       "path_knn_references requires exactly 4 arguments: path_knn_references(node_model, edge_model, k, min_score), "
       "got 3 (PathKNN E-9/E-10)"},
      {"FIND pattern_embedding_similarity('a') FROM (n)-[:R]->(m)",
       "pattern_embedding_similarity(...) is no longer the official PatternEmbedding surface in E-3; use "
       "pattern_embedding(node_model, edge_model)"},
      {"FIND n.city, count(n) + 1 FROM (n:P) GROUP BY n.city", nullptr, 0},
      {"FIND n.city FROM (n:P) GROUP BY n.city", nullptr, 0},
      {"DELETE (n:P)", nullptr, 2},
      {"DELETE (n:P) LIMIT 3", nullptr, 1},
      {"DELETE (n:P) WHERE n.a = 1", nullptr},
      {"UPDATE (n:P) SET n.a = 1", nullptr, 2},
      {"UPDATE (n:P) SET n.a = 1 LIMIT 2", nullptr},
      {"UPDATE (n) SET m.x = 1 WHERE m.x = 2", "Variable 'm' in SET not found in pattern"},
      {"EXPLAIN FIND n FROM (n:P) GROUP BY n.city", nullptr},
      {"PROFILE FIND n FROM (n:P) HAVING n.age > 3", "HAVING clause requires GROUP BY"},
      {"SKETCH s = DELETE (n:P)", nullptr, 2},
      {"CREATE INDEX ON P(name)", nullptr},
  };
  for (const Case& c : cases) {
    auto st = parser::parse_statement(c.zql);
    ASSERT_TRUE(st.has_value()) << c.zql << ": " << st.error().display();
    auto r = validate(*st);
    if (c.error) {
      ASSERT_FALSE(r.has_value()) << c.zql;
      EXPECT_EQ(r.error().kind(), DbError::Kind::SemanticValidation);
      EXPECT_EQ(r.error().text(), c.error) << c.zql;
      continue;
    }
    ASSERT_TRUE(r.has_value()) << c.zql << ": " << r.error().display();
    if (c.warning < 0) {
      EXPECT_TRUE(r->empty()) << c.zql;
    } else {
      ASSERT_EQ(r->size(), 1u) << c.zql;
      EXPECT_EQ((*r)[0].kind, c.warning) << c.zql;
    }
  }
}

TEST(Validate, EmptyAddAndEmptySetAreRefused) {
  ast::Statement add{ast::AddStmt{}};
  EXPECT_EQ(validate(add).error().display(), "Semantic validation error: CREATE requires at least one node or edge");
  ast::UpdateStmt u;
  u.pattern.elements.push_back(ast::NodePattern{"n", {}, {}});
  EXPECT_EQ(validate(ast::Statement{u}).error().text(), "UPDATE requires at least one SET assignment");
}

TEST(Validate, DeepConditionDoesNotExhaustTheStack) {
  std::string zql = "FIND n FROM (n:P) WHERE n.a = 0";
  for (int i = 0; i < 20000; ++i) zql += " OR n.a = 1";
  zql += " OR count(n) > 1";
  auto st = parser::parse_statement(zql);
  ASSERT_TRUE(st.has_value()) << st.error().display();
  EXPECT_EQ(validate(*st).error().text(), "Aggregation functions not allowed in WHERE clause. Use HAVING instead.");
}

}  // namespace
}  // namespace zudizid::query::zql::executor
