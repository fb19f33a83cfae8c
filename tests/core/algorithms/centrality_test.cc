// PageRank, degree, clustering, betweenness and shortest path on the small
// graphs whose values are known by hand.
#include <gtest/gtest.h>

#include <cmath>

#include "algorithm_fixture.h"
#include "algorithms/betweenness/betweenness.h"
#include "algorithms/clustering/clustering.h"
#include "algorithms/compact_graph.h"
#include "algorithms/degree/degree.h"
#include "algorithms/pagerank/pagerank.h"
#include "algorithms/shortest_path/shortest_path_search.h"
#include "common/log.h"

namespace zudizid::algorithms {
namespace {

using testing::edges;
using testing::id;
using testing::ids;
using testing::value;

const PageRankConfig kPageRank{};

std::vector<std::string> pagerank_log(const log::ScopedCapture& capture) {
  std::vector<std::string> out;
  for (const auto& r : capture.records()) {
    if (r.target == "zudizid::algorithms::pagerank" && r.level == log::Level::Info) out.push_back(r.message);
  }
  return out;
}

TEST(PageRank, SingleNodeConvergesAfterTwoIterations) {
  log::ScopedCapture capture(log::Level::Info);
  auto r = pagerank(ids({1}), {}, kPageRank);
  EXPECT_EQ(value(r, 1), 0.15000000000000002);
  EXPECT_EQ(pagerank_log(capture), std::vector<std::string>{"PageRank converged after 2 iterations"});
}

TEST(PageRank, OneEdgePassesOnTheDampedShare) {
  log::ScopedCapture capture(log::Level::Info);
  auto r = pagerank(ids({1, 2}), edges({{1, 2}}), kPageRank);
  EXPECT_NEAR(value(r, 1), 0.075, 1e-15);
  EXPECT_NEAR(value(r, 2), 0.13875, 1e-15);
  EXPECT_EQ(pagerank_log(capture), std::vector<std::string>{"PageRank converged after 3 iterations"});
}

TEST(PageRank, ParallelEdgesAndSelfLoopsCount) {
  const double base = 0.15 / 3;
  auto r = pagerank(ids({1, 2, 3}), edges({{1, 2}, {1, 2}, {1, 3}}), kPageRank);
  EXPECT_NEAR(value(r, 2) - base, 2 * (value(r, 3) - base), 1e-15);
  EXPECT_DOUBLE_EQ(value(r, 1), base);  // no incoming edge

  auto loop = pagerank(ids({1, 2}), edges({{1, 1}, {1, 2}}), kPageRank);
  EXPECT_GT(value(loop, 1), 0.075);
  EXPECT_NEAR(value(loop, 1) - 0.075, value(loop, 2) - 0.075, 1e-15);
}

TEST(PageRank, EdgesWithEndsThatAreNoNodes) {
  auto plain = pagerank(ids({1, 2}), edges({{1, 2}}), kPageRank);
  // From a non-node: ignored. Into a non-node: still splits the source's rank.
  auto from_stray = pagerank(ids({1, 2}), edges({{9, 2}, {1, 2}, {9, 1}}), kPageRank);
  EXPECT_EQ(value(from_stray, 1), value(plain, 1));
  EXPECT_EQ(value(from_stray, 2), value(plain, 2));
  EXPECT_EQ(from_stray.size(), 2u);
  auto into_stray = pagerank(ids({1, 2}), edges({{1, 2}, {1, 9}}), kPageRank);
  EXPECT_NEAR(value(into_stray, 2), 0.075 + 0.85 * 0.075 / 2, 1e-15);
}

TEST(CompactGraph, NumbersStrayEndsInEdgeOrderAcrossBlocks) {
  // Enough edges for the lookups to run in several blocks, with ends that
  // are no nodes scattered over them (some repeated, some sources, some
  // targets): the numbering must be the one inserting edge by edge gives.
  std::vector<Uuid> nodes;
  for (int v = 0; v < 1000; ++v) nodes.push_back(id(v));
  std::vector<EdgeEnds> list;
  for (int e = 0; e < 200000; ++e) {
    int s = static_cast<int>((int64_t{e} * 7919) % 1000), t = static_cast<int>((int64_t{e} * 104729) % 1000);
    if (e % 9973 == 0) s = 5000 + e % 13;
    if (e % 15013 == 0) t = 6000 + e % 7;
    list.push_back({id(s), id(t)});
  }
  CompactGraph g = CompactGraph::build(nodes, list);
  IdIndex serial = IdIndex::of(nodes);
  ASSERT_EQ(g.node_count, 1000u);
  for (size_t e = 0; e < list.size(); ++e) {
    ASSERT_EQ(g.edges[e].source, serial.insert(list[e].source)) << e;
    ASSERT_EQ(g.edges[e].target, serial.insert(list[e].target)) << e;
  }
  EXPECT_EQ(g.index.ids(), serial.ids());
}

TEST(PageRank, ZeroIterationsAndEmptyInput) {
  PageRankConfig none = kPageRank;
  none.max_iterations = 0;
  auto r = pagerank(ids({1, 2, 3, 4}), edges({{1, 2}}), none);
  EXPECT_EQ(value(r, 3), 0.25);
  EXPECT_TRUE(pagerank({}, edges({{1, 2}}), kPageRank).empty());
}

TEST(Degree, CountsPerDirection) {
  struct Case {
    DegreeDirection direction;
    bool normalized;
    std::vector<std::pair<int, double>> expected;
  };
  // 1 has a self-loop, 1-2 twice, 2 -> 9 where 9 is no node, 3 alone.
  const auto e = edges({{1, 1}, {1, 2}, {1, 2}, {2, 9}});
  const Case cases[] = {
      {DegreeDirection::Both, false, {{1, 4.0}, {2, 3.0}, {3, 0.0}, {9, 1.0}}},
      {DegreeDirection::In, false, {{1, 1.0}, {2, 2.0}, {3, 0.0}, {9, 1.0}}},
      {DegreeDirection::Out, false, {{1, 3.0}, {2, 1.0}, {3, 0.0}}},
      {DegreeDirection::Both, true, {{1, 2.0}, {2, 1.5}, {3, 0.0}, {9, 0.5}}},
  };
  for (const Case& c : cases) {
    auto r = degree(ids({1, 2, 3}), e, {c.normalized, c.direction});
    EXPECT_EQ(r.size(), c.expected.size());
    for (auto [n, want] : c.expected) EXPECT_EQ(value(r, n), want) << "node " << n;
  }
  auto single = degree(ids({1}), edges({{1, 1}}), {true, DegreeDirection::Both});
  EXPECT_EQ(value(single, 1), 2.0);  // one node: nothing is divided
}

TEST(Clustering, SharesOfLinkedNeighbourPairs) {
  struct Case {
    const char* name;
    std::vector<EdgeEnds> edges;
    std::vector<std::pair<int, double>> expected;
  };
  const Case cases[] = {
      {"triangle", edges({{1, 2}, {2, 3}, {3, 1}}), {{1, 1.0}, {2, 1.0}, {3, 1.0}}},
      {"path", edges({{1, 2}, {2, 3}}), {{1, 0.0}, {2, 0.0}, {3, 0.0}}},
      {"star", edges({{1, 2}, {1, 3}, {1, 4}}), {{1, 0.0}, {2, 0.0}, {4, 0.0}}},
      {"repeated and opposite edges", edges({{1, 2}, {2, 1}, {1, 2}, {2, 3}, {3, 1}, {1, 3}}), {{1, 1.0}, {3, 1.0}}},
      {"self-loop and one neighbour", edges({{1, 1}, {1, 2}}), {{1, 1.0}, {2, 0.0}}},
      {"triangle with a tail", edges({{1, 2}, {2, 3}, {3, 1}, {3, 4}}), {{3, 1.0 / 3}, {4, 0.0}, {5, 0.0}}},
  };
  for (const Case& c : cases) {
    auto r = clustering(ids({1, 2, 3, 4, 5}), c.edges);
    EXPECT_EQ(r.size(), 5u) << c.name;
    for (auto [n, want] : c.expected) EXPECT_EQ(value(r, n), want) << c.name << " node " << n;
  }
}

TEST(Betweenness, ShortestPathShares) {
  struct Case {
    const char* name;
    std::vector<Uuid> nodes;
    std::vector<EdgeEnds> edges;
    bool normalized;
    std::vector<std::pair<int, double>> expected;
  };
  const Case cases[] = {
      {"path", ids({1, 2, 3}), edges({{1, 2}, {2, 3}}), true, {{1, 0.0}, {2, 1.0}, {3, 0.0}}},
      {"star", ids({1, 2, 3, 4}), edges({{1, 2}, {3, 1}, {1, 4}}), true, {{1, 1.0}, {2, 0.0}}},
      {"two nodes", ids({1, 2}), edges({{1, 2}}), true, {{1, 0.0}, {2, 0.0}}},
      // 1-2 twice, 2-4, 1-3, 3-4: of the pair (1, 4), 2 carries 2/3 and 3
      // carries 1/3; of the pair (2, 3), 1 carries 2/3 and 4 carries 1/3.
      {"parallel edges split the pair",
       ids({1, 2, 3, 4}),
       edges({{1, 2}, {2, 1}, {2, 4}, {1, 3}, {3, 4}}),
       false,
       {{1, 4.0 / 3}, {2, 4.0 / 3}, {3, 2.0 / 3}, {4, 2.0 / 3}}},
      {"isolated node and self-loop", ids({1, 2, 3, 4}), edges({{1, 2}, {2, 3}, {2, 2}}), false, {{2, 2.0}, {4, 0.0}}},
      {"edges to non-nodes are left out",
       ids({1, 2, 3}),
       edges({{1, 2}, {2, 3}, {2, 9}, {9, 1}, {8, 9}}),
       true,
       {{1, 0.0}, {2, 1.0}, {3, 0.0}}},
  };
  for (const Case& c : cases) {
    auto r = betweenness(c.nodes, c.edges, {c.normalized});
    EXPECT_EQ(r.size(), c.nodes.size()) << c.name;
    for (auto [n, want] : c.expected) EXPECT_NEAR(value(r, n), want, 1e-15) << c.name << " node " << n;
  }
}

TEST(ShortestPath, DirectedHopCounts) {
  struct Case {
    const char* name;
    std::vector<EdgeEnds> edges;
    int source, target;
    double expected;  // -1: no path
  };
  const Case cases[] = {
      {"same id, not a node", {}, 7, 7, 0.0},
      {"direct edge", edges({{1, 2}}), 1, 2, 1.0},
      {"against the direction", edges({{1, 2}}), 2, 1, -1.0},
      {"shortcut", edges({{1, 2}, {2, 3}, {1, 3}}), 1, 3, 1.0},
      {"cycle back", edges({{1, 2}, {2, 1}}), 2, 1, 1.0},
      {"parallel edges and self-loops", edges({{1, 1}, {1, 2}, {1, 2}, {2, 2}, {2, 3}}), 1, 3, 2.0},
      {"no edges", {}, 1, 2, -1.0},
      {"unknown target", edges({{1, 2}}), 1, 9, -1.0},
  };
  for (const Case& c : cases) {
    auto r = shortest_path_search(c.edges, id(c.source), id(c.target));
    EXPECT_EQ(r ? r->distance : -1.0, c.expected) << c.name;
    if (r) {
      EXPECT_EQ(r->path.front(), id(c.source)) << c.name;
      EXPECT_EQ(r->path.back(), id(c.target)) << c.name;
      EXPECT_EQ(r->path.size(), static_cast<size_t>(c.expected) + 1) << c.name;
    }
  }
  // The first discovery fixes the path: 1 -> 3 -> 4 is found before 1 -> 2 -> 4.
  auto r = shortest_path_search(edges({{1, 3}, {1, 2}, {2, 4}, {3, 4}}), id(1), id(4));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->path, ids({1, 3, 4}));
}

}  // namespace
}  // namespace zudizid::algorithms
