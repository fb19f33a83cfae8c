// The three community detectors on the small graphs whose partitions are
// known by hand, and Leiden's refinement on given partitions.
#include "algorithms/community/community.h"

#include <gtest/gtest.h>

#include <map>
#include <random>

#include "algorithm_fixture.h"
#include "algorithms/community/leiden.h"
#include "query/zql/executor/aggregations/label_propagation.h"

namespace zudizid::algorithms::community {
namespace {

using query::zql::executor::aggregations::label_propagation;
using testing::edges;
using testing::id;
using testing::ids;
using testing::value;

using Expected = std::vector<std::pair<int, uint64_t>>;

struct PartitionCase {
  const char* name;
  std::vector<Uuid> nodes;
  std::vector<EdgeEnds> edges;
  Expected expected;
};

template <size_t N, class Detect>
void expect_partitions(const PartitionCase (&cases)[N], Detect detect) {
  for (const PartitionCase& c : cases) {
    NodeMap<uint64_t> r = detect(c.nodes, c.edges);
    EXPECT_EQ(r.size(), c.expected.size()) << c.name;
    for (auto [n, want] : c.expected) EXPECT_EQ(value(r, n), want) << c.name << " node " << n;
  }
}

// Two triangles {1, 2, 3} and {4, 5, 6} joined by 3-4.
const std::vector<EdgeEnds> kTwoTriangles = edges({{1, 2}, {2, 3}, {3, 1}, {3, 4}, {4, 5}, {5, 6}, {6, 4}});

TEST(Community, LocalMovingPartitions) {
  const PartitionCase cases[] = {
      {"no edges: rank of the id", ids({3, 1, 2}), {}, {{1, 0}, {2, 1}, {3, 2}}},
      {"one edge", ids({1, 2}), edges({{1, 2}}), {{1, 0}, {2, 0}}},
      {"parallel and opposite edges", ids({2, 1}), edges({{1, 2}, {2, 1}, {1, 2}}), {{1, 0}, {2, 0}}},
      {"path", ids({1, 2, 3}), edges({{1, 2}, {2, 3}}), {{1, 0}, {2, 0}, {3, 0}}},
      {"two triangles", ids({6, 5, 4, 3, 2, 1}), kTwoTriangles, {{1, 0}, {2, 0}, {3, 0}, {4, 1}, {5, 1}, {6, 1}}},
      {"self-loop alone", ids({1, 2}), edges({{1, 1}}), {{1, 0}, {2, 1}}},
      {"edge to a non-node", ids({1, 2}), edges({{1, 9}}), {{1, 0}, {2, 1}}},
      {"no nodes", {}, edges({{1, 2}}), {}},
  };
  expect_partitions(cases, [](auto& n, auto& e) { return detect_communities(n, e, {}); });
}

TEST(CommunityFast, LabelPropagationPartitions) {
  const PartitionCase cases[] = {
      {"no edges: input position", ids({2, 1, 3}), {}, {{2, 0}, {1, 1}, {3, 2}}},
      {"two nodes swap labels three times", ids({1, 2}), edges({{1, 2}}), {{1, 0}, {2, 1}}},
      {"path", ids({1, 2, 3}), edges({{1, 2}, {2, 3}}), {{1, 0}, {2, 1}, {3, 0}}},
      {"star", ids({1, 2, 3, 4}), edges({{1, 2}, {1, 3}, {4, 1}}), {{1, 0}, {2, 1}, {3, 1}, {4, 1}}},
      {"two triangles", ids({1, 2, 3, 4, 5, 6}), kTwoTriangles, {{1, 0}, {2, 0}, {3, 0}, {4, 1}, {5, 1}, {6, 1}}},
      {"triangle", ids({1, 2, 3}), edges({{1, 2}, {2, 3}, {3, 1}}), {{1, 0}, {2, 0}, {3, 0}}},
      {"self-loop and an edge", ids({1, 2}), edges({{1, 1}, {1, 2}}), {{1, 0}, {2, 0}}},
      {"edges leaving the list", ids({1, 2}), edges({{1, 9}, {9, 2}, {8, 1}}), {{1, 0}, {2, 1}}},
  };
  expect_partitions(cases, [](auto& n, auto& e) { return label_propagation(n, e); });
}

TEST(Leiden, DetectPartitions) {
  const PartitionCase cases[] = {
      {"no edges: rank of the id", ids({3, 1, 2}), {}, {{1, 0}, {2, 1}, {3, 2}}},
      {"one edge", ids({1, 2}), edges({{1, 2}}), {{1, 0}, {2, 0}}},
      {"parallel and opposite edges", ids({1, 2}), edges({{1, 2}, {2, 1}, {2, 1}}), {{1, 0}, {2, 0}}},
      {"triangle", ids({1, 2, 3}), edges({{1, 2}, {2, 3}, {3, 1}}), {{1, 0}, {2, 0}, {3, 0}}},
      {"self-loop alone", ids({1, 2}), edges({{1, 1}}), {{1, 0}, {2, 1}}},
      {"edge to a non-node", ids({1, 2}), edges({{1, 9}}), {{1, 0}, {2, 1}}},
      // 2 is joined to 1 and 3 alike: it goes to the smaller community id.
      {"equal gains", ids({1, 2, 3}), edges({{2, 1}, {2, 3}}), {{1, 0}, {2, 0}, {3, 0}}},
      {"no nodes", {}, edges({{1, 2}}), {}},
  };
  expect_partitions(cases, [](auto& n, auto& e) { return LeidenCommunity{}.detect(n, e); });
}

// Cliques of `size` nodes, numbered from 1, clique k joined to clique k+1 by
// one edge.
std::vector<EdgeEnds> joined_cliques(int cliques, int size) {
  std::vector<EdgeEnds> out;
  for (int k = 0; k < cliques; ++k) {
    int first = 1 + k * size;
    for (int a = first; a < first + size; ++a) {
      for (int b = a + 1; b < first + size; ++b) out.push_back({id(a), id(b)});
    }
    if (k + 1 < cliques) out.push_back({id(first + size - 1), id(first + size)});
  }
  return out;
}

TEST(Leiden, FindsJoinedCliques) {
  for (int size : {4, 6, 9}) {
    std::vector<Uuid> nodes;
    for (int v = 1; v <= 5 * size; ++v) nodes.push_back(id(v));
    auto r = LeidenCommunity{}.detect(nodes, joined_cliques(5, size));
    for (int v = 1; v <= 5 * size; ++v) EXPECT_EQ(value(r, v), static_cast<uint64_t>((v - 1) / size)) << size;
  }
}

// Sets `partition` (node number -> community id, sizes kept) on a fresh state.
LeidenState with_partition(std::vector<Uuid> nodes, std::vector<EdgeEnds> e, const std::map<int, uint64_t>& partition) {
  LeidenState s = LeidenState::start(nodes, e);
  for (auto [n, c] : partition) s.move(s.graph.index.find(id(n)), c);
  return s;
}

uint64_t community_of(const LeidenState& s, int n) { return s.community[s.graph.index.find(id(n))]; }

TEST(LeidenRefine, KeepsWellConnectedCommunities) {
  struct Case {
    const char* name;
    std::vector<EdgeEnds> edges;
  };
  const Case cases[] = {
      {"pair", edges({{1, 2}})},
      {"triangle", edges({{1, 2}, {2, 3}, {3, 1}})},
      {"path a-b-c", edges({{1, 2}, {2, 3}})},
  };
  for (const Case& c : cases) {
    // Nodes 1..3 in community 0; node 4 alone.
    LeidenState s = with_partition(ids({1, 2, 3, 4}), c.edges, {{2, 0}, {3, 0}});
    if (c.edges.size() == 1) s.move(s.graph.index.find(id(3)), 2);
    const auto before = s.community;
    EXPECT_FALSE(LeidenCommunity::refine(s, 0.1)) << c.name;
    EXPECT_EQ(s.community, before) << c.name;
  }
  LeidenState singletons = LeidenState::start(ids({1, 2, 3}), edges({{1, 2}}));
  EXPECT_FALSE(LeidenCommunity::refine(singletons, 0.1));
}

TEST(LeidenRefine, DissolvesAStar) {
  // Hub 1 with leaves 2..12, all in community 0.
  std::vector<Uuid> nodes;
  std::vector<EdgeEnds> e;
  std::map<int, uint64_t> partition;
  for (int v = 1; v <= 12; ++v) {
    nodes.push_back(id(v));
    partition[v] = 0;
    if (v > 1) e.push_back({id(1), id(v)});
  }
  LeidenState s = with_partition(nodes, e, partition);
  EXPECT_TRUE(LeidenCommunity::refine(s, 0.1));
  for (int v = 1; v <= 12; ++v) EXPECT_EQ(community_of(s, v), 12u + (v - 1)) << v;
  EXPECT_EQ(s.size[0], 0u);
  EXPECT_EQ(s.next_id, 24u);
}

TEST(LeidenRefine, SplitsTwoPairs) {
  // a < b < c < d with a-b and c-d, all in community 0.
  LeidenState s = with_partition(ids({1, 2, 3, 4}), edges({{1, 2}, {3, 4}}), {{1, 0}, {2, 0}, {3, 0}, {4, 0}});
  EXPECT_TRUE(LeidenCommunity::refine(s, 0.1));
  // Starting ids 4..7; {a, b} keeps 0, {c, d} gets the fresh id 8.
  EXPECT_EQ(community_of(s, 1), 0u);
  EXPECT_EQ(community_of(s, 2), 0u);
  EXPECT_EQ(community_of(s, 3), 8u);
  EXPECT_EQ(community_of(s, 4), 8u);
  EXPECT_EQ(s.size[0], 2u);
  EXPECT_EQ(s.size[8], 2u);
  // The counter carries on: a second refinement hands out ids from 9.
  s.move(s.graph.index.find(id(3)), 0);
  s.move(s.graph.index.find(id(4)), 0);
  EXPECT_TRUE(LeidenCommunity::refine(s, 0.1));
  EXPECT_EQ(community_of(s, 3), 13u);
}

// Six planted groups of 15-30 nodes: dense inside, sparse between.
struct Planted {
  std::vector<Uuid> nodes;
  std::vector<EdgeEnds> edges;
};

Planted planted_groups(uint32_t seed) {
  std::mt19937 rng(seed);
  Planted p;
  std::vector<int> group;
  for (int g = 0; g < 6; ++g) {
    int size = std::uniform_int_distribution<int>(15, 30)(rng);
    for (int i = 0; i < size; ++i) group.push_back(g);
  }
  for (size_t v = 0; v < group.size(); ++v) {
    Uuid::Bytes b;
    for (uint8_t& byte : b) byte = static_cast<uint8_t>(rng());
    p.nodes.push_back(Uuid(b));
  }
  std::bernoulli_distribution inside(0.3), across(0.01);
  for (size_t a = 0; a < group.size(); ++a) {
    for (size_t b = a + 1; b < group.size(); ++b) {
      if (group[a] == group[b] ? inside(rng) : across(rng)) p.edges.push_back({p.nodes[a], p.nodes[b]});
    }
  }
  return p;
}

TEST(Leiden, NeverScoresBelowItsFirstLocalMovingPhase) {
  const LeidenCommunity leiden;
  for (uint32_t seed = 1; seed <= 10; ++seed) {
    Planted p = planted_groups(seed);
    LeidenState first = LeidenState::start(p.nodes, p.edges);
    leiden.move_nodes(first);
    const double first_h = first.quality(leiden.gamma);

    auto result = leiden.detect(p.nodes, p.edges);
    LeidenState final_state = LeidenState::start(p.nodes, p.edges);
    for (uint32_t v = 0; v < final_state.node_count(); ++v) {
      final_state.move(v, *result.find(final_state.graph.index.id(v)) + final_state.node_count());
    }
    EXPECT_GE(final_state.quality(leiden.gamma), first_h) << "seed " << seed;
  }
}

}  // namespace
}  // namespace zudizid::algorithms::community
