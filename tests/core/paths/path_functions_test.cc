// Path-aware evaluation over hand-built paths: reducers, path_eval, the
// refusals of path-aware WHERE, the semantic filters against a hierarchy
// and the embedding functions against stored vectors.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "graph/embeddings.h"
#include "query/zql/executor/paths/path_embeddings.h"
#include "query/zql/executor/paths/path_functions.h"
#include "query/zql/executor/paths/path_keys.h"
#include "query/zql/executor/paths/semantic_filters.h"
#include "query/zql/parser/build_statement.h"
#include "tests/core/graph/graph_fixture.h"

namespace zudizid::query::zql::executor {
namespace {

using graph::testing::id;
using PV = PropertyValue;
using ast::Expr;

constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

std::string outcome(const DbResult<std::optional<PV>>& r) {
  if (!r) return r.error().text();
  return *r ? "ok: " + (*r)->debug_string() : "no value";
}

std::string outcome(const DbResult<PV>& r) { return r ? "ok: " + r->debug_string() : r.error().text(); }

// The WHERE condition of a FIND over `text`.
Expr zql_expr(const std::string& text) {
  auto stmt = parser::parse_statement("FIND * FROM (a)-[:R]->(b) WHERE " + text);
  EXPECT_TRUE(stmt) << text << ": " << (stmt ? "" : stmt.error().display());
  if (!stmt) return Expr::wildcard();
  return std::get<ast::Query>(stmt->node).filter->condition;
}

// A chain of nodes 1..n+1 joined by edges 1..n whose property "w" holds `ws`.
PathBinding chain(const std::vector<PV>& ws, NodeKind kind = NodeKind::Individual,
                  std::vector<std::string> labels = {}) {
  PathBinding p;
  for (size_t i = 0; i <= ws.size(); ++i) {
    std::string label = i < labels.size() ? labels[i] : "L";
    p.nodes.push_back(Node{id(static_cast<int>(i) + 1), label, {{"i", PV::integer(static_cast<int64_t>(i))}}, kind});
  }
  for (size_t i = 0; i < ws.size(); ++i) {
    Edge e = graph::testing::edge(static_cast<int>(i) + 1, static_cast<int>(i) + 1, static_cast<int>(i) + 2);
    if (!ws[i].is_null() || i % 2 == 0) e.properties["w"] = ws[i];
    p.edges.push_back(std::move(e));
  }
  p.bind_node("a", 0);
  p.bind_node("b", p.nodes.size() - 1);
  return p;
}

class PathFunctions : public ::testing::Test {
 protected:
  void SetUp() override {
    indexes_ = std::make_shared<index::IndexManager>(std::nullopt);
    graph_.emplace(graph::testing::make_graph(dir_.path(), true, {}, indexes_));
  }
  void TearDown() override { graph_.reset(); }

  DbResult<std::optional<PV>> eval(const PathBinding& p, const std::string& text, const PathEvalRecord* record = nullptr) {
    PathEnv env(*graph_);
    return eval_path_aware_expr(env, p, zql_expr(text), record);
  }
  DbResult<std::optional<PV>> eval(const PathBinding& p, const Expr& expr, const PathEvalRecord* record = nullptr) {
    PathEnv env(*graph_);
    return eval_path_aware_expr(env, p, expr, record);
  }

  graph::testing::TempDir dir_;
  std::shared_ptr<index::IndexManager> indexes_;
  std::optional<graph::Graph> graph_;
};

TEST(PathReducers, Table) {
  struct Case {
    std::vector<PV> ws;
    std::string fn;
    std::string want;
  };
  const double nan = std::nan("");
  const std::vector<Case> cases = {
      {{PV::integer(1), PV::integer(2), PV::integer(3)}, "path_sum", "ok: Int(6)"},
      {{PV::integer(1), PV::float64(2.5)}, "PATH_SUM", "ok: Float(3.5)"},
      {{PV::integer(kMax), PV::integer(1)}, "path_sum", "ok: Int(-9223372036854775808)"},
      {{PV::integer(kMin), PV::integer(-1)}, "path_sum", "ok: Int(9223372036854775807)"},
      {{PV::float64(-0.0)}, "path_sum", "ok: Float(-0.0)"},
      {{PV::integer(3), PV::float64(2.5)}, "path_min", "ok: Float(2.5)"},
      {{PV::integer(3), PV::float64(4.0)}, "path_min", "ok: Float(3.0)"},
      {{PV::integer(5), PV::integer(7)}, "path_min", "ok: Int(5)"},
      {{PV::integer(5), PV::integer(7)}, "Path_Max", "ok: Int(7)"},
      {{PV::float64(nan), PV::integer(7)}, "path_max", "ok: Float(7.0)"},
      {{PV::float64(nan)}, "path_min", "ok: Float(inf)"},
      {{PV::float64(nan)}, "path_max", "ok: Float(-inf)"},
      {{PV::integer(1), PV::integer(2)}, "path_avg", "ok: Float(1.5)"},
      {{}, "path_sum", "path reducers require at least one traversed edge in the path"},
      {{PV::integer(1), PV::boolean(true)}, "path_sum",
       "path reducer: property 'w' on edge 9a000000-0000-0000-0000-0000000003ea is not numeric"},
      {{PV::integer(1), PV::null(), PV::null()}, "path_sum",
       "path reducer: property 'w' missing on edge 9a000000-0000-0000-0000-0000000003ea"},
      {{PV::null()}, "path_avg", "path reducer: property 'w' on edge 9a000000-0000-0000-0000-0000000003e9 is not numeric"},
  };
  for (const Case& c : cases) {
    const PathBinding p = chain(c.ws);
    EXPECT_EQ(outcome(eval_path_reducer(p.edges, c.fn, "w")), c.want) << c.fn;
  }
}

// Column names of path-query projections and the canonical call keys of
// the embedding functions.
TEST(PathKeys, ColumnsAndCanonicalKeys) {
  auto stmt = parser::parse_statement(
      "FIND all(b), a.name, b, path_sum('w'), PATH_MAX('w') AS m, path_eval('total * 2'), "
      "path_embedding('nm', 'em'), path_knn_references('nm', 'em', 3, 0.25), count(*), path.result "
      "FROM (a)-[:R]->(b)");
  ASSERT_TRUE(stmt) << stmt.error().display();
  const auto& projections = std::get<ast::Query>(stmt->node).find.projections;
  EXPECT_EQ(path_projection_columns(projections),
            (std::vector<std::string>{"b.*", "a.name", "b", "path_sum(\"w\")", "m",
                                      "path_eval(\"total * 2\")", "path_embedding(\"nm\", \"em\")",
                                      "path_knn_references(\"nm\", \"em\", 3, 0.25)", "path.result"}));
  EXPECT_EQ(path_plain_keys(projections), (std::vector<std::string>{"b.*", "a.name", "b", "path.result"}));

  struct Case {
    std::vector<Expr> args;
    std::string want;
  };
  const std::vector<Case> cases = {
      {{}, "ok: f()"},
      {{Expr::literal(PV::null()), Expr::literal(PV::boolean(true)), Expr::literal(PV::integer(kMin))},
       "ok: f(null, true, -9223372036854775808)"},
      {{Expr::literal(PV::float64(2.0)), Expr::literal(PV::float64(0.25)), Expr::literal(PV::float64(-0.0))},
       "ok: f(2, 0.25, -0)"},
      {{Expr::literal(PV::string("a \"q\" \\"))}, "ok: f(\"a \\\"q\\\" \\\\\")"},
      {{Expr::literal(PV::list({}))}, "f uses unsupported projection literal List([]) in path/pattern embedding projections"},
      {{Expr::wildcard()}, "f requires literal arguments for canonical projection keys; got Wildcard"},
  };
  for (const Case& c : cases) {
    auto key = canonical_call_key("f", c.args);
    EXPECT_EQ(key ? "ok: " + *key : key.error().text(), c.want);
  }
}

TEST_F(PathFunctions, PathAwareExpressionTable) {
  const PathBinding p = chain({PV::integer(2), PV::integer(3)});
  PathEvalRecord record;
  record.state.assign("x", PV::integer(41));
  record.result = PV::string("r");
  PathEvalRecord unset;
  struct Case {
    std::string text;
    const PathEvalRecord* record;
    std::string want;
  };
  const std::vector<Case> cases = {
      {"a.i + b.i", nullptr, "ok: Int(2)"},
      {"x", &record, "ok: Int(41)"},
      {"x", nullptr, "no value"},
      {"nobody.p = 1", nullptr, "no value"},
      {"path.depth * 10", nullptr, "ok: Int(20)"},
      {"path.result", &record, "ok: String(\"r\")"},
      {"path.result", &unset, "no value"},
      {"path.result", nullptr, "path.result requires a RETURN clause in Path Queries F4-C"},
      {"path.state", nullptr, "no value"},
      {"path.state", &record, "ok: Object([(\"x\", Int(41))])"},
      {"path.end", nullptr,
       "ok: Object([(\"id\", String(\"9a000000-0000-0000-0000-000000000003\")), (\"label\", String(\"L\"))])"},
      {"path_sum('w') + 1", nullptr, "ok: Int(6)"},
      {"PATH_SUM(w)", nullptr, "path reducer argument must be a string literal, e.g. path_sum(\"amount\")"},
      {"path_sum('w', 'v')", nullptr, "path reducers require exactly 1 argument (property name), got 2"},
      {"path_eval('x + 1')", &record, "ok: Int(42)"},
      {"path_eval('x + 1')", nullptr,
       "VM variable 'x' is not defined; initialize it with INIT or assign it earlier in GATHER"},
      {"path_eval('path.start')", &record,
       "path.start is not available inside INIT or GATHER expressions; use it in RETURN or FIND"},
      {"path_eval('path.depth')", nullptr, "ok: Int(2)"},
      {"path_eval(x)", nullptr, "path_eval argument must be a quoted expression, e.g. path_eval(\"sum\")"},
      {"PATH_EVAL()", nullptr, "path_eval requires exactly 1 quoted expression, got 0"},
      {"path_eval('+')", nullptr, "parse"},
      {"median(a.i) = 1", nullptr, "Unknown function in WHERE: median"},
      {"path_sum('w') > 4 and path_sum('w') < 6", nullptr, "ok: Bool(true)"},
      {"nobody.p = 1 or path.depth = 2", nullptr, "ok: Bool(true)"},
      {"path.depth or true", nullptr, "Path-aware WHERE expression must evaluate to Bool, got Int(2)"},
  };
  for (const Case& c : cases) {
    auto r = eval(p, c.text, c.record);
    if (c.want == "parse") {
      ASSERT_FALSE(r) << c.text;
      EXPECT_EQ(r.error().kind(), DbError::Kind::QueryParse);
      continue;
    }
    EXPECT_EQ(outcome(r), c.want) << c.text;
  }
  EXPECT_EQ(outcome(eval(p, Expr::wildcard())), "no value");
}

TEST_F(PathFunctions, PathAwareCondition) {
  const PathBinding p = chain({PV::integer(2)});
  PathEnv env(*graph_);
  auto cond = [&](const std::string& text) {
    auto r = eval_path_aware_condition(env, p, zql_expr(text), nullptr);
    return r ? std::string(*r ? "true" : "false") : r.error().text();
  };
  EXPECT_EQ(cond("path_sum('w') = 2"), "true");
  EXPECT_EQ(cond("nobody.x = 1"), "false");  // no value
  EXPECT_EQ(cond("false and path_sum('nope') = 1"), "false");
  EXPECT_EQ(cond("null"), "Path-aware WHERE expression must evaluate to Bool, got Null");
  EXPECT_EQ(cond("path_sum('w')"), "Path-aware WHERE expression must evaluate to Bool, got Int(2)");
}

TEST_F(PathFunctions, Scanners) {
  auto parse = [](const std::string& t) { return zql_expr(t); };
  EXPECT_TRUE(expr_uses_path_reducer(parse("1 + -Path_Avg('x')")));
  EXPECT_FALSE(expr_uses_path_reducer(parse("f(path_sum('x'))")));  // arguments of other calls are not searched
  EXPECT_TRUE(expr_uses_semantic_path_filter(parse("f(path_all_subclassof('x'))")));
  EXPECT_TRUE(expr_uses_path_embedding_function(parse("f(1, PATH_EMBEDDING('a', 'b')) = 2")));
  EXPECT_TRUE(expr_uses_path_eval(parse("f(1, Path_Eval('a'))")));
  EXPECT_FALSE(expr_uses_path_eval(parse("path_evals('a')")));
  EXPECT_TRUE(expr_references_path_result(parse("f(path.result)")));
  EXPECT_FALSE(expr_references_path_result(parse("Path.result")));
  EXPECT_TRUE(is_path_reducer("path_\xE2\x84\xAA" "nn") == false);
  EXPECT_TRUE(is_path_embedding_function("PATH_\xE2\x84\xAANN_REFERENCES"));
}

// Animal > Dog > Puppy; Cat unrelated.
TEST_F(PathFunctions, SemanticFilters) {
  {
    PathEnv env(*graph_);
    const PathBinding p = chain({PV::integer(1)}, NodeKind::Class, {"Dog", "Dog"});
    auto before = eval_semantic_path_filter(env, p, "path_start_subclassof", std::vector{Expr::literal(PV::string("Animal"))});
    ASSERT_TRUE(before);
    EXPECT_FALSE(*before) << "no hierarchy registered";
  }
  taxonomy::TaxonomyIndex t;
  const Uuid animal = id(501), dog = id(502), puppy = id(503), cat = id(504);
  t.register_class(animal, "Animal");
  t.register_class(dog, "Dog");
  t.register_class(puppy, "Puppy");
  t.register_class(cat, "Cat");
  ASSERT_TRUE(t.add_subclass(animal, dog));
  ASSERT_TRUE(t.add_subclass(dog, puppy));
  indexes_->register_taxonomy(std::move(t));

  struct Case {
    std::vector<std::string> labels;
    NodeKind kind;
    std::string cls;
    // start, end, any, all for instanceof, then for subclassof
    std::string want;
  };
  const std::vector<Case> cases = {
      {{"Dog", "Puppy"}, NodeKind::Individual, "Animal", "TTTT FFFF"},
      {{"Dog", "Puppy"}, NodeKind::Class, "Animal", "FFFF TTTT"},
      {{"Dog", "Puppy"}, NodeKind::Class, "Dog", "FFFF FTTF"},
      {{"Animal", "Cat"}, NodeKind::Individual, "Animal", "FFFF FFFF"},
      {{"Cat", "Puppy"}, NodeKind::Individual, "Animal", "FTTF FFFF"},
      {{"Puppy", "Puppy"}, NodeKind::Individual, "Nope", "FFFF FFFF"},
      {{"Puppy", "Puppy"}, NodeKind::Individual, "animal", "FFFF FFFF"},
  };
  PathEnv env(*graph_);
  for (const Case& c : cases) {
    const PathBinding p = chain({PV::integer(1)}, c.kind, c.labels);
    std::string got;
    for (std::string_view pred : {"instanceof", "subclassof"}) {
      if (!got.empty()) got += ' ';
      for (std::string_view which : {"start", "end", "any", "all"}) {
        const std::string name = "PATH_" + std::string(which) + "_" + std::string(pred);
        auto r = eval_semantic_path_filter(env, p, name, std::vector{Expr::literal(PV::string(c.cls))});
        ASSERT_TRUE(r) << r.error().display();
        got += *r ? 'T' : 'F';
      }
    }
    EXPECT_EQ(got, c.want) << c.labels[0] << "," << c.labels[1] << " " << c.cls;
  }
  const PathBinding p = chain({PV::integer(1)});
  EXPECT_EQ(outcome(eval(p, "Path_End_InstanceOf('a', 'b')")),
            "Path_End_InstanceOf requires exactly 1 string literal class name in Path Queries F4-D.1");
  EXPECT_EQ(outcome(eval(p, "path_all_subclassof(a.i)")),
            "path_all_subclassof requires a string literal class name in Path Queries F4-D.1");
  EXPECT_EQ(outcome(eval(p, "path_all_subclassof(3)")),
            "path_all_subclassof requires a string literal class name in Path Queries F4-D.1");
}

class PathEmbeddings : public PathFunctions {
 protected:
  void SetUp() override {
    PathFunctions::SetUp();
    path_ = chain({PV::integer(1)});
    ASSERT_TRUE(graph::testing::commit(*graph_, path_.nodes, path_.edges));
    ASSERT_TRUE(graph::add_node_embedding(*graph_, path_.nodes[0].id, {1, 2}, "nm"));
    ASSERT_TRUE(graph::add_node_embedding(*graph_, path_.nodes[1].id, {3, 4}, "nm"));
    ASSERT_TRUE(graph::add_edge_embedding(*graph_, path_.edges[0].id, {10}, "em"));
  }
  void add_reference(const std::string& name, std::vector<float> v) {
    ASSERT_TRUE(graph::add_path_reference_embedding(*graph_, name, "nm", "em", std::move(v)));
  }
  PathBinding path_;
};

TEST_F(PathEmbeddings, VectorsAndTests) {
  EXPECT_EQ(outcome(eval(path_, "path_embedding('nm', 'em')")), "ok: List([Float(2.0), Float(3.0), Float(10.0)])");
  EXPECT_EQ(outcome(eval(path_, "pattern_embedding('nm', 'em')")),
            "ok: List([Float(1.0), Float(2.0), Float(10.0), Float(3.0), Float(4.0)])");
  EXPECT_EQ(outcome(eval(path_, "path_has_embeddings('nm', 'em')")), "ok: Bool(true)");
  EXPECT_EQ(outcome(eval(path_, "pattern_has_embeddings('nm', 'other')")), "ok: Bool(false)");
  EXPECT_EQ(outcome(eval(path_, "path_has_embeddings('nm')")),
            "path_has_embeddings(\"model\") was replaced in PathEmbedding E-7; use path_has_embeddings(node_model, "
            "edge_model)");
  EXPECT_EQ(outcome(eval(path_, "pattern_embedding('nm', 3)")),
            "pattern_embedding(node_model, edge_model) requires a string literal edge model as second argument in "
            "PatternEmbedding E-3");
  EXPECT_EQ(outcome(eval(path_, "path_embedding('x', 'em')")),
            "Embedding not found for node 9a000000-0000-0000-0000-000000000001 model x");
  EXPECT_EQ(outcome(eval(path_, "pattern_embedding_similarity()")),
            "pattern_embedding_similarity(...) is no longer the official PatternEmbedding surface in E-3; use "
            "pattern_embedding(node_model, edge_model)");
  PathBinding bare;
  bare.nodes.push_back(path_.nodes[0]);
  EXPECT_EQ(outcome(eval(bare, "path_embedding('nm', 'em')")),
            "PathEmbedding requires a materialized linear path with at least one relationship in E-7");
  EXPECT_EQ(outcome(eval(bare, "path_has_embeddings('nm', 'em')")), "ok: Bool(false)");
}

TEST_F(PathEmbeddings, KnnSimilarityAndAnomaly) {
  EXPECT_EQ(outcome(eval(path_, "path_anomaly_score('nm', 'em')")), "ok: Float(1.0)");  // no references
  add_reference("b", {2, 3, 10});
  add_reference("a", {2, 3, 10});
  add_reference("c", {-2, -3, -10});
  EXPECT_EQ(outcome(eval(path_, "path_knn_references('nm', 'em', 2, 0.5)")),
            "ok: List([Object([(\"name\", String(\"a\")), (\"score\", Float(0.9999999403953552))]), Object([(\"name\", String(\"b\")), "
            "(\"score\", Float(0.9999999403953552))])])");
  EXPECT_EQ(outcome(eval(path_, "path_knn_references('nm', 'em', 1, -1)")),
            "ok: List([Object([(\"name\", String(\"a\")), (\"score\", Float(0.9999999403953552))])])");
  EXPECT_EQ(outcome(eval(path_, "path_knn_references('nm', 'em', 5, 2)")), "ok: List([])");
  for (const char* bad : {"0", "-1", "2.0"}) {
    EXPECT_EQ(outcome(eval(path_, std::string("path_knn_references('nm', 'em', ") + bad + ", 0.5)")),
              "path_knn_references: k (arg 3) must be a positive integer literal");
  }
  EXPECT_EQ(outcome(eval(path_, "path_knn_references('nm', 'em', 1, '0.5')")),
            "path_knn_references: min_score (arg 4) must be a numeric literal (0.0..1.0)");
  EXPECT_EQ(outcome(eval(path_, "path_embedding_similarity('c', 'nm', 'em')")), "ok: Float(-0.9999999403953552)");
  EXPECT_EQ(outcome(eval(path_, "path_embedding_similarity('zz', 'nm', 'em')")),
            "PathReferenceEmbedding 'zz' (node_model=nm, edge_model=em) not found");
  // The centroid of a, b, c is (2, 3, 10) / 3; the figures are numpy's
  // float32 results for the same summation order.
  EXPECT_EQ(outcome(eval(path_, "path_anomaly_score('nm', 'em')")), "ok: Float(1.1920928955078125e-7)");
  EXPECT_EQ(outcome(eval(path_, "path_anomaly_score('nm')")),
            "path_anomaly_score requires exactly 2 arguments: path_anomaly_score(node_model, edge_model), got 1");
}

TEST(PathEmbeddingMath, CosineAndScores) {
  const std::vector<float> p = {1, 0};
  EXPECT_EQ(path_similarity_cosine(std::vector<float>{}, std::vector<float>{}).error().text(),
            "PathSimilarity E-8 cannot compare empty vectors");
  EXPECT_EQ(path_similarity_cosine(p, std::vector<float>{0, 0}).error().text(),
            "PathSimilarity E-8 cannot compare zero-norm vectors");
  std::vector<PathReferenceEmbedding> refs = {
      {"short", "nm", "em", {1}, 0}, {"zero", "nm", "em", {0, 0}, 0}, {"same", "nm", "em", {2, 0}, 0}};
  auto scored = score_path_references(refs, p, 0.0f);
  ASSERT_EQ(scored.size(), 1u);
  EXPECT_EQ(scored[0].name, "same");
  EXPECT_EQ(scored[0].score, 1.0f);
}

}  // namespace
}  // namespace zudizid::query::zql::executor
