#include <gtest/gtest.h>

#include "query/zql/executor/ordering.h"
#include "query/zql/executor/where/analysis.h"
#include "query/zql/executor/where/scopes.h"
#include "query/zql/parser/build_statement.h"

namespace zudizid::query::zql::executor {
namespace {

using PV = PropertyValue;

// The WHERE condition of "UPDATE (n) SET n.x = 1 WHERE <text>".
ast::Expr condition(std::string_view text) {
  auto st = parser::parse_statement("UPDATE (n) SET n.x = 1 WHERE " + std::string(text));
  EXPECT_TRUE(st) << text << ": " << (st ? "" : st.error().display());
  if (!st) return ast::Expr::literal(PV::boolean(false));
  return std::get<ast::UpdateStmt>(st->node).filter->condition;
}

Node person() {
  return Node{*Uuid::parse("00000000-0000-4000-8000-000000000001"), "Person",
              {{"age", PV::integer(1)}, {"name", PV::string("Ann")}, {"active", PV::boolean(false)},
               {"nothing", PV::null()}, {"big", PV::integer(std::numeric_limits<int64_t>::min())}},
              NodeKind::Individual};
}

TEST(Where, NodeRoadTable) {
  const Node n = person();
  const std::pair<const char*, bool> cases[] = {
      {"n.age = 1.0", false},  // Int 1 is not Float 1.0
      {"n.age <= 1.0 AND n.age >= 1.0", true},
      {"n.name > 5", true},  // strings order after numbers
      {"n.missing = null", false},
      {"n.nothing = null", true},
      {"n.missing != 3", false},  // no value: every comparison is false
      {"!(n.missing = 3)", true},
      {"!n.active", true},
      {"!(!n.active)", false},
      {"n.active", false},
      {"true", true},
      {"1", false},  // a bare operand passes only as Bool true
      {"n.name", false},
      {"n.age + 1 > 1", true},
      {"n.age + 1 = 2", true},
      {"n.age * 2 - 1 = 1", true},
      {"n.age / 2 = 0.5", true},
      {"n.age / 0 = 1", false},
      {"!(n.age / 0 = 1)", true},
      {"n.big % -1 = 0", true},
      {"n.big - 1 > 0", true},  // wraps to INT64_MAX
      {"n.name + 1 = 1", false},
      {"-n.age = -1", true},
      {"n.id = '00000000-0000-4000-8000-000000000001' AND n.label = 'Person'", true},
      {"m.age = 1", false},
      {"n.age = 2 OR n.name = 'Ann'", true},
      {"(n.age > 0) = true", true},
      {"has_embedding(n, 'm')", false},
      {"instanceOf(n, 'Thing')", false},
  };
  for (const auto& [text, expected] : cases) {
    auto v = eval_condition(condition(text), NodeScope(n, "n", nullptr, Road::Write));
    ASSERT_TRUE(v) << text << ": " << v.error().display();
    EXPECT_EQ(*v, expected) << text;
  }
}

TEST(Where, UnknownCallsFailWhereverTheyStand) {
  const Node n = person();
  for (const char* text : {"foo(n)", "!foo(n)", "foo(n) > 1", "n.age = 1 AND Foo(n) = 2", "similar_to(n, 'r')"}) {
    auto v = eval_condition(condition(text), NodeScope(n, "n", nullptr, Road::Write));
    ASSERT_FALSE(v) << text;
    EXPECT_TRUE(v.error().display().starts_with("Query execution error: Unknown function in WHERE: ")) << text;
  }
  // Short-circuit: the right side is never reached.
  EXPECT_TRUE(*eval_condition(condition("n.age = 1 OR foo(n)"), NodeScope(n, "n", nullptr, Road::Write)));
  // FIND applies the vector calls on its own: they pass the scan.
  EXPECT_TRUE(*eval_condition(condition("similar_to(n, 'r') AND hybrid(n, 'q', 'r', 'm')"),
                              NodeScope(n, "n", nullptr, Road::Find)));
}

TEST(Where, BindingRoad) {
  Node a = person();
  Node b = person();
  b.properties["age"] = PV::integer(2);
  operators::Binding with{a, b, Edge{Uuid::new_v4(), a.id, b.id, "KNOWS", {{"w", PV::float64(0.5)}}}};
  operators::Binding without{a, b, std::nullopt};
  const std::tuple<const char*, bool, bool> cases[] = {
      {"s.age < t.age", true, true},
      {"r.type = 'KNOWS' AND r.edge_type = 'KNOWS'", true, false},
      {"r.w * 2 = 1.0", true, false},
      {"!(r.w = 1)", true, true},
  };
  for (const auto& [text, with_edge, without_edge] : cases) {
    EXPECT_EQ(*eval_binding_condition(with, condition(text), "s", "t"), with_edge) << text;
    EXPECT_EQ(*eval_binding_condition(without, condition(text), "s", "t"), without_edge) << text;
  }
}

TEST(Where, LongChainsDoNotRecurse) {
  std::string text = "n.age = 0";
  for (int i = 0; i < 50000; ++i) text += " OR n.age = 0";
  text += " OR n.age = 1";
  EXPECT_TRUE(*eval_condition(condition(text), NodeScope(person(), "n", nullptr, Road::Write)));
  std::string sum = "n.age";
  for (int i = 0; i < 50000; ++i) sum += " + 1";
  EXPECT_TRUE(*eval_condition(condition(sum + " = 50001"), NodeScope(person(), "n", nullptr, Road::Write)));
}

TEST(WhereAnalysis, SplitAndAlgorithmRows) {
  auto c = condition("n.a = 1 AND (n.b = 2 OR pagerank(n) > 0.5) AND !(degree(n) < 2)");
  EXPECT_EQ(*where_without_algorithms(c), condition("n.a = 1"));
  EXPECT_EQ(*where_algorithm_part(c), condition("(n.b = 2 OR pagerank(n) > 0.5) AND !(degree(n) < 2)"));
  EXPECT_FALSE(where_without_algorithms(condition("pagerank(n) > 0.5 OR n.age > 30")));
  EXPECT_FALSE(where_algorithm_part(condition("n.age > 30")));

  const Uuid id = Uuid::new_v4();
  aggregations::AlgorithmCache cache;
  cache.pagerank.emplace();
  cache.pagerank->keys.insert(id);
  cache.pagerank->values.push_back(0.75);
  Row row{{"n.id", PV::string(id.to_string())}, {"n.age", PV::integer(3)}};
  Row no_id{{"n.age", PV::integer(3)}};
  const std::tuple<const char*, bool, bool> cases[] = {
      {"pagerank(n) > 0.5", true, false},
      {"!(PageRank(n) = 1)", true, true},
      {"pagerank(n) > 9 OR false", false, false},  // a lone literal is no longer true
      {"pagerank(n)", false, false},                 // a Float is not Bool true
      {"pagerank(n) + 1 > 1.5", true, false},
      {"betweenness(n) < 0", true, false},  // absent slot: Null sorts first
      {"n.age = 3 AND pagerank(n) < 1", true, false},
  };
  for (const auto& [text, with_id, without_id] : cases) {
    EXPECT_EQ(*eval_algorithm_condition(row, condition(text), cache), with_id) << text;
    EXPECT_EQ(*eval_algorithm_condition(no_id, condition(text), cache), without_id) << text;
  }
  EXPECT_FALSE(eval_algorithm_condition(row, condition("foo(n) OR pagerank(n) > 0"), cache));
}

TEST(WhereAnalysis, VectorCalls) {
  auto h = extract_hybrid_call(condition("hybrid(n, 'q', 5, 'mini') OR hybrid(m, 'q', 'Alice', 'mini')"));
  ASSERT_TRUE(h);
  EXPECT_EQ(h->variable, "m");
  EXPECT_EQ(h->reference_name, "Alice");
  EXPECT_EQ(extract_hybrid_call(condition("hybrid('x', 'q', 'Alice', 'mini')"))->variable, "n");
  EXPECT_FALSE(extract_hybrid_call(condition("!hybrid(n, 'q', 'Alice', 'mini')")));
  EXPECT_EQ(extract_similar_to_call(condition("n.a = 1 AND similar_to(n, 'Alice')"))->model, "default");
  EXPECT_FALSE(extract_similar_to_call(condition("similar_to(n)")));
  EXPECT_FALSE(extract_similar_to_call(condition("similar_to(n, 'Alice', 'm', 'x')")));
  EXPECT_FALSE(is_special_function_call(condition("Count(n)")));
  EXPECT_TRUE(is_special_function_call(condition("count(n)")));
}

std::vector<ast::Projection> projections(std::string_view find) {
  auto st = parser::parse_statement("FIND " + std::string(find) + " FROM (n)");
  EXPECT_TRUE(st) << find;
  return std::get<ast::Query>(st->node).find.projections;
}

TEST(Ordering, ProjectionNames) {
  using V = std::vector<std::string>;
  auto p = projections("n, n.name, count(n), PageRank(n), pagerank(n) AS pr, ALL(n), all(n, m), n.age + 1");
  EXPECT_EQ(collect_names(p, query_column_names_next), (V{"n", "n.name", "pr", "n.*"}));
  EXPECT_EQ(collect_names(p, projection_column_names_next), (V{"n", "n.name", "pagerank(n)", "pr", "n.*"}));
  EXPECT_EQ(collect_names(p, projection_source_columns_next), (V{"n", "n.name", "n.*"}));
  auto star = projections("*");
  EXPECT_EQ(collect_names(star, query_column_names_next), (V{"*"}));
  EXPECT_EQ(collect_names(star, projection_source_columns_next), (V{}));
  auto algos = collect_names(p, algorithm_projections_next);
  ASSERT_EQ(algos.size(), 2u);
  EXPECT_EQ(algos[0].column, "pagerank(n)");
  EXPECT_EQ(algos[0].function, "PageRank");
  EXPECT_EQ(algos[1].column, "pr");
}

TEST(Ordering, AbsentSortsAfterNull) {
  auto st = parser::parse_statement("FIND n FROM (n) ORDER BY n.age, n.name DESC, count(n)");
  ASSERT_TRUE(st);
  const auto& items = std::get<ast::Query>(st->node).order_by->items;
  std::vector<Row> rows = {{{"n.age", PV::integer(2)}, {"n.name", PV::string("a")}},
                           {{"n.name", PV::string("z")}},
                           {{"n.age", PV::null()}},
                           {{"n.age", PV::integer(2)}, {"n.name", PV::string("b")}},
                           {{"n.age", PV::float64(1.5)}}};
  std::stable_sort(rows.begin(), rows.end(),
                   [&](const Row& a, const Row& b) { return compare_rows_for_order(items, a, b); });
  EXPECT_TRUE(rows[0].at("n.age").is_null());
  EXPECT_EQ(rows[1].at("n.age").as_float(), 1.5);
  EXPECT_EQ(rows[2].at("n.name").as_string(), "b");  // ties on age: name descending
  EXPECT_EQ(rows[3].at("n.name").as_string(), "a");
  EXPECT_FALSE(rows[4].contains("n.age"));
}

}  // namespace
}  // namespace zudizid::query::zql::executor
