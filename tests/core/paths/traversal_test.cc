// Linear path traversal: small hand-checked cases with their counters, and a
// literal breadth-first reference (whole frontiers, one queue per binding)
// against the streaming traversal on random multigraphs with self-loops,
// parallel edges and cycles: same paths, same order, same counters.
#include <gtest/gtest.h>

#include <deque>
#include <random>
#include <set>

#include "query/zql/executor/paths/traversal.h"
#include "tests/core/graph/graph_fixture.h"

namespace zudizid::query::zql::executor {
namespace {

using ast::Direction;
using ast::NodePattern;
using ast::RelationshipPattern;
using graph::testing::id;
using PV = PropertyValue;

NodePattern np(std::optional<std::string> var = {}, std::optional<std::string> label = {}, PropertyMap props = {}) {
  return NodePattern{std::move(var), std::move(label), std::move(props)};
}
RelationshipPattern rp(Direction d, std::optional<ast::Quantifier> q = {}, std::optional<std::string> type = {},
                       PropertyMap props = {}, std::optional<std::string> var = {}) {
  return RelationshipPattern{std::move(var), std::move(type), d, q, std::move(props)};
}
ast::Quantifier q(uint64_t min, uint64_t max) { return ast::Quantifier{min, max}; }

// Node ids as their numbers, e.g. "1>2>3".
std::string ids(const PathBinding& p) {
  std::string s;
  for (const Node& n : p.nodes) {
    if (!s.empty()) s += '>';
    s += std::to_string(n.id.bytes()[15]);
  }
  return s;
}

struct Counters {
  uint64_t visited = 0, prunes = 0, depth = 0;
  bool operator==(const Counters&) const = default;
};

class Traversal : public ::testing::Test {
 protected:
  void SetUp() override { graph_.emplace(graph::testing::make_graph(dir_.path())); }
  void TearDown() override { graph_.reset(); }

  void build(int nodes, const std::vector<std::pair<int, int>>& edges) {
    std::vector<Node> ns;
    for (int i = 1; i <= nodes; ++i) ns.push_back(graph::testing::node(i));
    std::vector<Edge> es;
    for (size_t i = 0; i < edges.size(); ++i) {
      es.push_back(graph::testing::edge(static_cast<int>(i) + 1, edges[i].first, edges[i].second));
    }
    ASSERT_TRUE(graph::testing::commit(*graph_, ns, es));
  }

  // "1>2|1>2>3" with the counters; or the error text.
  std::string run(const std::vector<ast::PatternElement>& elements, Counters* counters = nullptr,
                  std::vector<Uuid> starts = {}) {
    ast::Pattern pattern{elements};
    QueryContext slot(*graph_);
    slot.path_profile = PathProfile{};
    graph::NodeCursor cursor;
    if (starts.empty()) {
      const auto* first = std::get_if<NodePattern>(&elements[0]);
      cursor = label_scan(*graph_, first != nullptr ? first->label : std::nullopt);
    } else {
      std::vector<Node> ns;
      for (const Uuid& u : starts) ns.push_back(*graph_->node(u));
      cursor = graph::NodeCursor::of(std::move(ns));
    }
    auto b = LinearBindings::create(*graph_, pattern, std::move(cursor), &slot);
    if (!b) return b.error().text();
    std::string out;
    while (auto next = b->next()) {
      if (!*next) return next->error().text();
      if (!out.empty()) out += '|';
      out += ids(**next);
    }
    auto p = slot.path_profile;
    if (counters != nullptr) *counters = {p->frontier_states_visited, p->cycle_prunes, p->max_depth_observed};
    return out;
  }

  graph::testing::TempDir dir_;
  std::optional<graph::Graph> graph_;
};

TEST_F(Traversal, Refusals) {
  build(1, {});
  const auto n = np();
  const auto r = rp(Direction::Outgoing);
  EXPECT_EQ(run({n, r}), "Linear pattern must alternate node and relationship elements");
  EXPECT_EQ(run({r, n, r}), "Pattern must start with node");
  EXPECT_EQ(run({n, n, n}), "Expected relationship in linear pattern");
  EXPECT_EQ(run({n, r, r}), "Expected node after relationship");
  EXPECT_EQ(run({n, rp(Direction::Outgoing, ast::Quantifier{1, std::nullopt}), n}),
            "Unbounded quantified traversals are not supported in Path Queries F1; provide an upper bound");
  EXPECT_EQ(run({n, rp(Direction::Outgoing, q(0, 2)), n}),
            "Zero-hop quantifiers ({0} or {0,n}) are not supported in Path Queries F1; min must be >= 1");
  EXPECT_EQ(run({n, rp(Direction::Outgoing, q(1, 2), {}, {}, "r"), n}),
            "Relationship variables on quantified hops are not supported in Path Queries F1");
}

TEST_F(Traversal, ChainCycleDiamondAndSelfLoop) {
  // chain 1>2>3>4; cycle 5>6>5; diamond 7>8>10, 7>9>10; self-loop on 11.
  build(11, {{1, 2}, {2, 3}, {3, 4}, {5, 6}, {6, 5}, {7, 8}, {8, 10}, {7, 9}, {9, 10}, {11, 11}});
  // Edges of one commit are listed in an order of the commit's own; the
  // diamond's paths come in that order.
  std::vector<Edge> from7 = *graph_->get_outgoing_edges(id(7));
  const std::string diamond = from7[0].target == id(8) ? "7>8>10|7>9>10" : "7>9>10|7>8>10";
  Counters c;
  EXPECT_EQ(run({np(), rp(Direction::Outgoing, q(1, 2)), np()}, &c, {id(1)}), "1>2|1>2>3");
  EXPECT_EQ(c, (Counters{2, 0, 2}));
  EXPECT_EQ(run({np(), rp(Direction::Outgoing, q(1, 3)), np()}, &c, {id(5)}), "5>6");
  EXPECT_EQ(c, (Counters{2, 1, 1}));
  EXPECT_EQ(run({np(), rp(Direction::Outgoing, q(2, 2)), np()}, &c, {id(7)}), diamond);
  EXPECT_EQ(run({np(), rp(Direction::Outgoing, q(3, 2)), np()}, &c, {id(1)}), "");
  EXPECT_EQ(run({np(), rp(Direction::Bidirectional), np()}, &c, {id(11)}), "11>11|11>11");
  EXPECT_EQ(c, (Counters{0, 0, 0}));
  EXPECT_EQ(run({np(), rp(Direction::Bidirectional, q(1, 1)), np()}, &c, {id(11)}), "");
  EXPECT_EQ(c, (Counters{1, 2, 0}));
  EXPECT_EQ(run({np(), rp(Direction::Incoming), np(), rp(Direction::Incoming), np()}, &c, {id(3)}), "3>2>1");
}

TEST_F(Traversal, PatternsFilterAndRebind) {
  std::vector<Node> ns = {graph::testing::node(1), graph::testing::node(2), graph::testing::node(3)};
  ns[2].label = "City";
  Edge heavy = graph::testing::edge(1, 1, 2);
  heavy.properties["w"] = PV::integer(1);
  Edge light = graph::testing::edge(2, 2, 3);
  Edge back = graph::testing::edge(3, 2, 1);
  back.properties["w"] = PV::integer(1);
  ASSERT_TRUE(graph::testing::commit(*graph_, ns, {heavy, light, back}));
  // Only the last node of a quantified match meets the node pattern.
  EXPECT_EQ(run({np(), rp(Direction::Outgoing, q(1, 3)), np({}, "City")}), "1>2>3|2>3");
  EXPECT_EQ(run({np(), rp(Direction::Outgoing, q(1, 3), {}, {{"w", PV::integer(1)}}), np()}), "1>2|2>1");
  // A plain hop applies the relationship's property map too.
  EXPECT_EQ(run({np(), rp(Direction::Outgoing, {}, {}, {{"w", PV::integer(1)}}), np()}), "1>2|2>1");
  EXPECT_EQ(run({np(), rp(Direction::Outgoing, {}, std::string("nope")), np()}), "");
  // (a)-[r]->(a): a is rebound to the far node.
  ast::Pattern pattern{{np("a"), rp(Direction::Outgoing, {}, {}, {}, "r"), np("a")}};
  auto b = LinearBindings::create(*graph_, pattern, graph::NodeCursor::of({*graph_->node(id(1))}), nullptr);
  ASSERT_TRUE(b);
  auto first = b->next();
  ASSERT_TRUE(first && *first);
  EXPECT_EQ((*first)->node_var("a")->id, id(2));
  EXPECT_EQ((*first)->edge_var("r")->id, heavy.id);
  EXPECT_EQ((*first)->nodes.size(), 2u);
}

// The rules written out literally: whole frontiers, a queue per binding,
// a copied visited set per state.
struct Reference {
  const graph::Graph& g;
  Counters counters;

  std::vector<Edge> edges(Direction d, const Uuid& n) { return *edges_in_direction(g, d, n); }
  static Uuid far(Direction d, const Edge& e, const Uuid& from) {
    if (d == Direction::Outgoing) return e.target;
    if (d == Direction::Incoming) return e.source;
    return e.source == from ? e.target : e.source;
  }
  static bool edge_ok(const RelationshipPattern& r, const Edge& e) {
    if (r.rel_type && *r.rel_type != e.edge_type) return false;
    for (const auto& [k, v] : r.properties) {
      auto it = e.properties.find(k);
      if (it == e.properties.end() || !(it->second == v)) return false;
    }
    return true;
  }

  std::vector<std::vector<Node>> run(const std::vector<ast::PatternElement>& el) {
    std::vector<std::vector<Node>> frontier;
    for (auto c = g.nodes(); auto n = c.next();) {
      if (node_matches_pattern(**n, std::get<NodePattern>(el[0]))) frontier.push_back({**n});
    }
    for (size_t i = 1; i + 1 < el.size(); i += 2) {
      const auto& r = std::get<RelationshipPattern>(el[i]);
      const auto& next = std::get<NodePattern>(el[i + 1]);
      std::vector<std::vector<Node>> out;
      for (const auto& b : frontier) {
        if (!r.quantifier) {
          for (const Edge& e : edges(r.direction, b.back().id)) {
            if (!edge_ok(r, e)) continue;
            auto n = g.node(far(r.direction, e, b.back().id));
            if (!n || !node_matches_pattern(*n, next)) continue;
            out.push_back(b);
            out.back().push_back(*n);
          }
          continue;
        }
        struct State {
          std::vector<Node> path;
          std::set<Uuid> visited;
          uint64_t depth;
        };
        std::deque<State> queue{{b, {b.back().id}, 0}};
        while (!queue.empty()) {
          State s = queue.front();
          queue.pop_front();
          ++counters.visited;
          if (s.depth >= *r.quantifier->max) continue;
          for (const Edge& e : edges(r.direction, s.path.back().id)) {
            if (!edge_ok(r, e)) continue;
            Uuid f = far(r.direction, e, s.path.back().id);
            if (s.visited.count(f)) {
              ++counters.prunes;
              continue;
            }
            auto n = g.node(f);
            if (!n) continue;
            uint64_t d = s.depth + 1;
            counters.depth = std::max(counters.depth, d);
            if (d >= r.quantifier->min && node_matches_pattern(*n, next)) {
              out.push_back(s.path);
              out.back().push_back(*n);
            }
            if (d < *r.quantifier->max) {
              State t = s;
              t.path.push_back(*n);
              t.visited.insert(f);
              t.depth = d;
              queue.push_back(std::move(t));
            }
          }
        }
      }
      frontier = std::move(out);
    }
    return frontier;
  }
};

TEST_F(Traversal, MatchesTheBreadthFirstReference) {
  std::mt19937 rng(20261211);
  const int kNodes = 9;
  std::vector<Node> ns;
  for (int i = 1; i <= kNodes; ++i) {
    ns.push_back(graph::testing::node(i, {{"p", PV::integer(static_cast<int64_t>(rng() % 2))}}));
    ns.back().label = rng() % 3 == 0 ? "B" : "A";
  }
  std::vector<Edge> es;
  for (int i = 0; i < 22; ++i) {
    int s = 1 + static_cast<int>(rng() % kNodes);
    int t = i % 7 == 0 ? s : 1 + static_cast<int>(rng() % kNodes);  // self-loops
    es.push_back(graph::testing::edge(i + 1, s, t));
    es.back().edge_type = rng() % 3 == 0 ? "S" : "R";
    es.back().properties["w"] = PV::integer(static_cast<int64_t>(rng() % 2));
  }
  es.push_back(graph::testing::edge(40, 1, 2));  // parallel edges
  es.push_back(graph::testing::edge(41, 1, 2));
  ASSERT_TRUE(graph::testing::commit(*graph_, ns, es));

  std::vector<std::optional<ast::Quantifier>> quantifiers = {std::nullopt, q(1, 1), q(1, 3), q(2, 2), q(3, 1), q(1, 5)};
  int checked = 0;
  for (Direction d : {Direction::Outgoing, Direction::Incoming, Direction::Bidirectional}) {
    for (const auto& quant : quantifiers) {
      for (int variant = 0; variant < 4; ++variant) {
        std::optional<std::string> type = variant == 1 ? std::optional<std::string>("R") : std::nullopt;
        PropertyMap rel_props = variant == 2 ? PropertyMap{{"w", PV::integer(1)}} : PropertyMap{};
        auto end = variant == 3 ? np({}, "A", {{"p", PV::integer(1)}}) : np();
        std::vector<ast::PatternElement> el = {np(), rp(d, quant, type, rel_props), end};
        if (variant == 0) el = {np(), rp(d, quant), np(), rp(d), np()};  // a quantified and a plain hop
        Reference ref{*graph_};
        std::string want;
        for (const auto& path : ref.run(el)) {
          PathBinding b;
          b.nodes = path;
          if (!want.empty()) want += '|';
          want += ids(b);
        }
        Counters got;
        EXPECT_EQ(run(el, &got), want) << "direction " << int(d) << " variant " << variant;
        EXPECT_EQ(got, ref.counters) << "direction " << int(d) << " variant " << variant;
        ++checked;
      }
    }
  }
  EXPECT_EQ(checked, 72);
}

}  // namespace
}  // namespace zudizid::query::zql::executor
