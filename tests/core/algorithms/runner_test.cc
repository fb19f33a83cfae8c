// The algorithm runner on parsed queries over a real graph: which names it
// finds, what it reads, the per-query cache and the community slots that
// outlive a query; the graph view and neighbour reads under it; the
// shortestPath call.
#include <gtest/gtest.h>

#include <random>

#include "../graph/graph_fixture.h"
#include "algorithms/betweenness/betweenness.h"
#include "algorithms/blocking_task.h"
#include "algorithms/pagerank/pagerank.h"
#include "common/log.h"
#include "graph/bulk_load.h"
#include "graph/view/graph_view.h"
#include "graph/view/result_slots.h"
#include "query/zql/executor/aggregations/precompute.h"
#include "query/zql/executor/aggregations/shortest_path_call.h"
#include "query/zql/parser/build_statement.h"

namespace zudizid::query::zql::executor::aggregations {
namespace {

using graph::testing::edge;
using graph::testing::id;
using graph::testing::node;

ast::Query parse(std::string_view text) {
  auto statement = parser::parse_statement(text);
  EXPECT_TRUE(statement) << text << ": " << (statement ? "" : statement.error().display());
  return std::get<ast::Query>(statement->node);
}

AlgorithmSet set_of(std::initializer_list<Algorithm> names) {
  AlgorithmSet s;
  for (Algorithm a : names) s.set(static_cast<size_t>(a));
  return s;
}

TEST(Runner, FindsNamesWhereTheQueryIsEvaluated) {
  using enum Algorithm;
  struct Case {
    const char* query;
    AlgorithmSet names;
  };
  const Case cases[] = {
      {"FIND * FROM (n)", {}},
      {"FIND n.name FROM (n) WHERE n.age > 3", {}},
      {"FIND PageRank(n) FROM (n) WHERE pagerank(n) > 0.1", set_of({PageRank})},
      {"FIND sum(degree(n)) FROM (n)", set_of({Degree})},
      {"FIND n FROM (n) WHERE NOT (CLUSTERING(n) > 0.5) AND -betweenness(n) < 0", set_of({Clustering, Betweenness})},
      {"FIND n.label, count(*) FROM (n) GROUP BY n.label HAVING avg(leiden(n)) > 1", set_of({Leiden})},
      {"FIND community(n), Community_Fast(n) FROM (n)", set_of({Community, CommunityFast})},
      {"FIND f(1 + g(pagerank(n))) FROM (n)", set_of({PageRank})},
      {"FIND n FROM (n) ORDER BY pagerank(n) DESC", {}},
      {"FIND n FROM (n) GROUP BY degree(n)", {}},
      {"FIND pagerankx(n), page_rank(n) FROM (n)", {}},
  };
  for (const Case& c : cases) EXPECT_EQ(named_algorithms(parse(c.query)), c.names) << c.query;
  // The Kelvin sign lower-cases to k.
  EXPECT_EQ(algorithm_named("PAGERAN\xE2\x84\xAA"), Algorithm::PageRank);
  EXPECT_EQ(algorithm_named("pagerank\xC3\xA9"), std::nullopt);
}

class RunnerGraph : public ::testing::Test {
 protected:
  RunnerGraph() : g_(graph::testing::make_graph(dir_.path())) {}

  // Two triangles {1, 2, 3} and {4, 5, 6} joined by 3 -> 4.
  void add_two_triangles() {
    std::vector<Node> nodes;
    for (int v = 1; v <= 6; ++v) nodes.push_back(node(v));
    ASSERT_TRUE(graph::testing::commit(
        g_, nodes,
        {edge(1, 1, 2), edge(2, 2, 3), edge(3, 3, 1), edge(4, 3, 4), edge(5, 4, 5), edge(6, 5, 6), edge(7, 6, 4)}));
  }
  std::vector<Node> all_nodes() { return *g_.storage()->scan_current_nodes(); }
  AlgorithmCache run(std::string_view query) { return run_on(all_nodes(), query); }
  AlgorithmCache run_on(const std::vector<Node>& nodes, std::string_view query) {
    auto cache = precompute_algorithms(g_, parse(query), nodes);
    EXPECT_TRUE(cache) << (cache ? "" : cache.error().display());
    return cache ? std::move(*cache) : AlgorithmCache{};
  }
  static int64_t community_of(const AlgorithmCache& c, std::string_view name, int v) {
    return algorithm_value_for_node(name, id(v), c).as_int();
  }

  // Runs `name` (community or leiden), then plants the marker 42 for node 1
  // in its slot at the current stamp: a query that reuses the slot returns
  // the marker rather than compute.
  void plant_marker(std::string_view name) {
    run(fmt::format("FIND {}(n) FROM (n)", name));
    auto slots = graph::community_slots(g_);
    graph::CommunitySlot& slot = name == "community" ? slots->community : slots->leiden;
    algorithms::NodeMap<uint64_t> marker;
    marker.keys.insert(id(1));
    marker.values.push_back(42);
    slot.store(marker, graph::change_counter(g_));
  }

  graph::testing::TempDir dir_;
  graph::Graph g_;
};

size_t node_scans(const log::ScopedCapture& capture) {
  size_t n = 0;
  for (const auto& r : capture.records()) n += r.target == "zudizid::graph::view";
  return n;
}

TEST_F(RunnerGraph, ReadsNothingWithoutNames) {
  add_two_triangles();
  const auto nodes = all_nodes();
  log::ScopedCapture capture(log::Level::Debug);
  AlgorithmCache cache = run_on(nodes, "FIND n FROM (n) WHERE n.x = 1 ORDER BY pagerank(n)");
  for (size_t i = 0; i < kAlgorithmCount; ++i) EXPECT_FALSE(cache.has(static_cast<Algorithm>(i)));
  EXPECT_EQ(node_scans(capture), 0u);
  run_on(nodes, "FIND pagerank(n) FROM (n) WHERE PAGERANK(n) > 0");
  EXPECT_EQ(node_scans(capture), 1u);  // named twice, computed once
}

TEST_F(RunnerGraph, EmptyGraphGivesEmptyMaps) {
  AlgorithmCache cache =
      run("FIND pagerank(n), degree(n), clustering(n), betweenness(n), community(n), community_fast(n), leiden(n) FROM "
          "(n)");
  for (size_t i = 0; i < kAlgorithmCount; ++i) {
    auto a = static_cast<Algorithm>(i);
    ASSERT_TRUE(cache.has(a)) << algorithm_name(a);
    EXPECT_EQ(evaluate_algorithm_mean(algorithm_name(a), {}, cache)->value(), PropertyValue::float64(0.0));
  }
  EXPECT_TRUE(cache.pagerank->empty());
  EXPECT_TRUE(cache.leiden->empty());
}

TEST_F(RunnerGraph, FillsEverySlotOnce) {
  add_two_triangles();
  AlgorithmCache cache =
      run("FIND pagerank(n), degree(n), clustering(n), betweenness(n), community(n), community_fast(n), leiden(n) FROM "
          "(n)");
  EXPECT_EQ(cache.pagerank->size(), 6u);
  EXPECT_EQ(algorithm_value_for_node("degree", id(3), cache), PropertyValue::float64(3.0));
  EXPECT_EQ(algorithm_value_for_node("Clustering", id(1), cache), PropertyValue::float64(1.0));
  EXPECT_EQ(algorithm_value_for_node("clustering", id(3), cache), PropertyValue::float64(1.0 / 3));
  EXPECT_GT(algorithm_value_for_node("betweenness", id(3), cache).as_float(), 0.5);
  for (std::string_view name : {"community", "leiden", "community_fast"}) {
    EXPECT_EQ(community_of(cache, name, 1), 0) << name;
    EXPECT_EQ(community_of(cache, name, 6), 1) << name;
  }
  EXPECT_EQ(algorithm_value_for_node("pagerank", id(99), cache), PropertyValue::null());
  EXPECT_EQ(algorithm_value_for_node("size", id(1), cache), PropertyValue::null());
}

TEST_F(RunnerGraph, CommunityAndCommunityFastKeepTheirOwnNumbers) {
  ASSERT_TRUE(graph::testing::commit(g_, {node(1), node(2)}, {edge(1, 1, 2)}));
  AlgorithmCache cache = run("FIND community(n), community_fast(n) FROM (n)");
  EXPECT_EQ(community_of(cache, "community", 1), 0);
  EXPECT_EQ(community_of(cache, "community", 2), 0);
  // Label propagation swaps the two labels on each of its three passes.
  EXPECT_EQ(community_of(cache, "community_fast", 1), 0);
  EXPECT_EQ(community_of(cache, "community_fast", 2), 1);
}

TEST_F(RunnerGraph, GroupEvaluationNeedsTheSlot) {
  add_two_triangles();
  AlgorithmCache cache = run("FIND degree(n) FROM (n)");
  std::vector<Node> group{node(3), node(1), node(99)};
  EXPECT_EQ(evaluate_algorithm_mean("degree", group, cache)->value(), PropertyValue::float64(5.0 / 3));
  EXPECT_FALSE(evaluate_algorithm_mean("Degree", group, cache));  // group names count as written
  EXPECT_FALSE(evaluate_algorithm_mean("count", group, cache));
  const std::pair<const char*, const char*> absent[] = {
      {"pagerank", "Query execution error: pagerank algorithm not precomputed"},
      {"clustering", "Query execution error: clustering algorithm not precomputed"},
      {"betweenness", "Query execution error: betweenness algorithm not precomputed"},
      {"community", "Query execution error: community algorithm not precomputed"},
      {"community_fast", "Query execution error: community algorithm not precomputed"},
      {"leiden",
       "Query execution error: leiden algorithm not precomputed \u2014 aseg\u00farate de tener feature `algorithms`"},
  };
  for (auto [name, text] : absent) {
    auto r = evaluate_algorithm_mean(name, group, cache);
    ASSERT_TRUE(r && !*r) << name;
    EXPECT_EQ(r->error().display(), text);
  }
}

TEST_F(RunnerGraph, CommunityResultsOutliveTheQueryUntilAWrite) {
  add_two_triangles();
  for (std::string_view name : {"community", "leiden"}) {
    plant_marker(name);
    EXPECT_EQ(community_of(run(fmt::format("FIND {}(n) FROM (n)", name)), name, 1), 42) << name;

    const int k = name == "leiden" ? 1 : 0;
    ASSERT_TRUE(graph::testing::commit(g_, {node(50 + k)}, {edge(50 + k, 50 + k, 1)}));
    AlgorithmCache fresh = run(fmt::format("FIND {}(n) FROM (n)", name));
    EXPECT_EQ(community_of(fresh, name, 1), 0) << name;
    EXPECT_EQ(community_of(fresh, name, 6), 1) << name;
  }
}

// Which commits leave a kept community result in use: only those that
// change no node or edge set (a rewrite of existing nodes' properties).
TEST_F(RunnerGraph, KeptCommunityResultsFollowNodeOnlyCommits) {
  add_two_triangles();
  struct Case {
    const char* what;
    std::function<DbResult<void>()> write;
    bool reused;
  };
  const Case cases[] = {
      {"rewrite of a node's properties",
       [&] { return graph::testing::commit(g_, {node(2, {{"p", PropertyValue::integer(1)}})}); }, true},
      {"new node alone", [&] { return graph::testing::commit(g_, {node(70)}); }, false},
      {"deletion of a node alone", [&] { return graph::testing::commit(g_, {}, {}, {id(70)}); }, false},
  };
  for (std::string_view name : {"community", "leiden"}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(fmt::format("{}: {}", name, c.what));
      plant_marker(name);
      ASSERT_TRUE(c.write());
      AlgorithmCache after = run(fmt::format("FIND {}(n) FROM (n)", name));
      EXPECT_EQ(community_of(after, name, 1) == 42, c.reused);
      const auto& kept = name == "community" ? after.community : after.leiden;
      if (!c.reused) EXPECT_EQ(kept->size(), *g_.node_count());
    }
  }
}

// A single write (submit_write) that adds or removes a node or an edge
// raises the change counter while it is staged and again once its batch is
// stored, so a result computed in between, stamped with the staged value,
// is stale afterwards; a rewrite of an existing
// node or an index entry leaves a kept result in use.
TEST_F(RunnerGraph, SingleWritesLeaveResultsStampedWhileStagedStale) {
  add_two_triangles();
  using graph::WriteOp;
  struct Case {
    const char* what;
    WriteOp op;
    bool changes;
  };
  const Case cases[] = {
      {"new node", {WriteOp::PutNode{node(70)}}, true},
      {"rewrite of a node", {WriteOp::PutNode{node(2, {{"p", PropertyValue::integer(1)}})}}, false},
      {"index entry", {WriteOp::IndexProperty{"p", PropertyValue::integer(1), id(2)}}, false},
      {"new edge", {WriteOp::PutEdge{edge(80, 1, 70), 1}}, true},
      {"edge deletion", {WriteOp::DeleteEdge{edge(80, 1, 70).id, 2}}, true},
      {"node deletion", {WriteOp::DeleteNode{id(70)}}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    run("FIND community(n) FROM (n)");
    const uint64_t before = graph::change_counter(g_);
    ASSERT_TRUE(g_.submit_write(c.op));
    EXPECT_EQ(graph::change_counter(g_) == before, !c.changes);
    algorithms::NodeMap<uint64_t> marker;
    marker.keys.insert(id(1));
    marker.values.push_back(42);
    // The staging raises the counter once: before + 1 is what a reader
    // loads while the batch is not yet stored.
    graph::community_slots(g_)->community.store(marker, c.changes ? before + 1 : before);
    EXPECT_EQ(community_of(run("FIND community(n) FROM (n)"), "community", 1) == 42, !c.changes);
  }
}

TEST_F(RunnerGraph, BulkLoadedEdgesFromStrayIdsChangeNothing) {
  add_two_triangles();
  const std::string query = "FIND pagerank(n), betweenness(n) FROM (n)";
  AlgorithmCache before = run(query);
  graph::BulkLoader loader(g_, 16);
  std::mt19937_64 rng(7);
  for (int i = 0; i < 5; ++i) {
    Uuid stray = id(500 + i), other = id(600 + i);
    loader.add_edge(Edge{id(2000 + i), stray, id(1 + i), "E", {}});
    loader.add_edge(Edge{id(3000 + i), stray, other, "E", {}});
  }
  ASSERT_TRUE(loader.finish());
  AlgorithmCache after = run(query);
  for (int v = 1; v <= 6; ++v) {
    EXPECT_EQ(*after.pagerank->find(id(v)), *before.pagerank->find(id(v))) << v;
    EXPECT_EQ(*after.betweenness->find(id(v)), *before.betweenness->find(id(v))) << v;
  }
}

TEST(BlockingTask, AThrowingTaskIsAJoinError) {
  auto r = algorithms::run_blocking<int>("pagerank join error: {}", []() -> int { throw std::runtime_error("boom"); });
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), DbError::Kind::Message);
  EXPECT_EQ(r.error().display(), "pagerank join error: task panicked: boom");
  EXPECT_EQ(algorithms::run_blocking<int>("x {}", [] { return 7; }).value(), 7);
}

TEST_F(RunnerGraph, ViewsAndNeighbours) {
  // 1 -> 2 twice, 2 -> 2, 2 -> 3, 3 -> 4; node 4 is outside the set below.
  std::vector<Node> nodes{node(1), node(2), node(3), node(4)};
  ASSERT_TRUE(
      graph::testing::commit(g_, nodes, {edge(1, 1, 2), edge(2, 1, 2), edge(3, 2, 2), edge(4, 2, 3), edge(5, 3, 4)}));
  auto view = graph::GraphView::for_nodes(g_, {id(1), id(2), id(3), id(77)});
  auto set_nodes = *view.nodes();
  std::sort(set_nodes.begin(), set_nodes.end());
  EXPECT_EQ(set_nodes, (std::vector<Uuid>{id(1), id(2), id(3)}));
  EXPECT_EQ(view.edges()->size(), 4u);  // both parallel edges, the self-loop once, not 3 -> 4
  // The whole graph: every node and edge record, read in place, in key order
  // (random ids spread over every range the scan is cut into).
  std::vector<Node> spread;
  std::vector<Edge> spread_edges;
  for (int i = 0; i < 64; ++i) spread.push_back(Node{Uuid::new_v4(), "L", {}, NodeKind::Individual});
  for (int i = 0; i < 64; ++i)
    spread_edges.push_back(Edge{Uuid::new_v4(), spread[i].id, spread[(i * 5) % 64].id, "E", {}});
  ASSERT_TRUE(graph::testing::commit(g_, spread, spread_edges));
  auto whole_edges = *graph::GraphView::whole_graph(g_).edges();
  std::vector<algorithms::EdgeEnds> stored;
  const auto stored_edges = g_.storage()->scan_edges();
  for (const Edge& e : *stored_edges) stored.push_back({e.source, e.target});
  EXPECT_EQ(whole_edges, stored);
  EXPECT_EQ(whole_edges.size(), 5u + 64);
  std::vector<Uuid> stored_nodes;
  for (const Node& n : all_nodes()) stored_nodes.push_back(n.id);
  EXPECT_EQ(*graph::GraphView::whole_graph(g_).nodes(), stored_nodes);
  EXPECT_TRUE(graph::GraphView::for_nodes(g_, {}).edges()->empty());

  using graph::Direction;
  auto sorted = [](std::vector<Uuid> v) {
    std::sort(v.begin(), v.end());
    return v;
  };
  EXPECT_EQ(sorted(*graph::get_neighbors(g_, id(2), Direction::Outgoing)), (std::vector<Uuid>{id(2), id(3)}));
  EXPECT_EQ(sorted(*graph::get_neighbors(g_, id(2), Direction::Incoming)), (std::vector<Uuid>{id(1), id(1), id(2)}));
  EXPECT_EQ(sorted(*graph::get_neighbors(g_, id(2), Direction::Both)),
            (std::vector<Uuid>{id(1), id(1), id(2), id(2), id(3)}));
  EXPECT_TRUE(graph::get_neighbors(g_, id(99), Direction::Both)->empty());

  // An adjacency list naming an edge without a record: the edge is left out.
  const auto before = sorted(*graph::get_neighbors(g_, id(3), Direction::Both));
  ASSERT_TRUE(g_.storage()->delete_edge(id(1004)));
  auto without = graph::get_neighbors(g_, id(3), Direction::Both);
  ASSERT_TRUE(without);
  EXPECT_EQ(without->size() + 1, before.size());
  EXPECT_TRUE(compute_community_fast(g_, nodes));
}

TEST_F(RunnerGraph, WholeGraphNodesAreTheCurrentRecordsUnderEveryLabel) {
  // Several labels; a node relabelled by a commit, one deleted, one
  // relabelled by a bulk load (which leaves its id under both labels).
  std::vector<Node> nodes;
  for (int v = 1; v <= 9; ++v) nodes.push_back(Node{id(v), v % 3 ? "A" : "B", {}, NodeKind::Individual});
  ASSERT_TRUE(graph::testing::commit(g_, nodes, {edge(1, 1, 2)}));
  ASSERT_TRUE(graph::testing::commit(g_, {Node{id(4), "C", {}, NodeKind::Individual}}, {}, {id(5)}));
  graph::BulkLoader loader(g_, 16);
  loader.add_node(Node{id(7), "D", {}, NodeKind::Individual});
  loader.add_node(Node{id(10), "B", {}, NodeKind::Individual});
  ASSERT_TRUE(loader.finish());
  std::vector<Uuid> stored;
  for (const Node& n : all_nodes()) stored.push_back(n.id);
  ASSERT_EQ(stored.size(), 9u);
  EXPECT_EQ(*graph::GraphView::whole_graph(g_).nodes(), stored);
}

TEST_F(RunnerGraph, ShortestPathCall) {
  ASSERT_TRUE(graph::testing::commit(g_, {node(1), node(2), node(3)}, {edge(1, 1, 2), edge(2, 2, 3)}));
  auto text = [](int v) { return ast::Expr::literal(PropertyValue::string(id(v).to_string())); };
  auto call = [&](std::vector<ast::Expr> args) { return evaluate_shortest_path_call(g_, args); };
  EXPECT_EQ(call({text(1), text(3)}).value(), PropertyValue::float64(2.0));
  EXPECT_EQ(call({text(3), text(1)}).value(), PropertyValue::float64(-1.0));
  EXPECT_EQ(call({text(9), text(9)}).value(), PropertyValue::float64(0.0));

  const auto str = [](const char* s) { return ast::Expr::literal(PropertyValue::string(s)); };
  struct Case {
    std::vector<ast::Expr> args;
    const char* error;
  };
  std::vector<Case> cases;
  cases.push_back({{text(1)}, "shortestPath() requires exactly two arguments (source_id, target_id)"});
  cases.push_back(
      {{text(1), text(2), text(3)}, "shortestPath() requires exactly two arguments (source_id, target_id)"});
  cases.push_back({{text(1), ast::Expr::literal(PropertyValue::integer(2))},
                   "shortestPath() arguments must be string literals (node UUIDs)"});
  cases.push_back(
      {{ast::Expr::property("n", "id"), str("nope")}, "shortestPath() arguments must be string literals (node UUIDs)"});
  cases.push_back({{str("nope"), str("also")}, "Invalid node UUID for source: nope"});
  cases.push_back({{text(1), str("also")}, "Invalid node UUID for target: also"});
  for (const Case& c : cases) {
    auto r = call(c.args);
    ASSERT_FALSE(r) << c.error;
    EXPECT_EQ(r.error().kind(), DbError::Kind::QueryExecution);
    EXPECT_EQ(r.error().text(), c.error);
  }
}

}  // namespace
}  // namespace zudizid::query::zql::executor::aggregations
