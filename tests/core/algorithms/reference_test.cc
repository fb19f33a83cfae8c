// Every algorithm against its map-based transcription (reference.h) on 200
// random multigraphs with self-loops, parallel edges and edge ends that are
// no node.
#include "reference.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "algorithms/betweenness/betweenness.h"
#include "algorithms/clustering/clustering.h"
#include "algorithms/community/community.h"
#include "algorithms/community/leiden.h"
#include "algorithms/degree/degree.h"
#include "algorithms/pagerank/pagerank.h"
#include "algorithms/shortest_path/shortest_path_search.h"
#include "query/zql/executor/aggregations/label_propagation.h"

namespace zudizid::algorithms {
namespace {

struct Multigraph {
  std::vector<Uuid> nodes;  // random order
  std::vector<EdgeEnds> edges;
  std::vector<EdgeEnds> node_edges;  // the edges with both ends nodes
};

// Ids share all but two bytes half of the time, so hashing and byte order
// see near-equal ids as well as random ones.
Uuid random_id(std::mt19937_64& rng) {
  Uuid::Bytes b{};
  if (rng() % 2) {
    uint64_t x = rng();
    for (int i = 0; i < 16; ++i) b[i] = static_cast<uint8_t>((i < 8 ? rng() : x) >> (8 * (i % 8)));
  } else {
    b[3] = 0x42;
    b[14] = static_cast<uint8_t>(rng());
    b[15] = static_cast<uint8_t>(rng());
  }
  return Uuid(b);
}

Multigraph random_multigraph(uint64_t seed) {
  std::mt19937_64 rng(seed);
  Multigraph g;
  // Most graphs are small; some pass the size at which betweenness splits
  // its sources into blocks.
  const size_t n = seed % 10 == 0 ? 130 + rng() % 70 : rng() % 40;
  std::set<Uuid> taken;
  while (g.nodes.size() < n) {
    Uuid id = random_id(rng);
    if (taken.insert(id).second) g.nodes.push_back(id);
  }
  std::vector<Uuid> strays;
  for (int i = 0; i < 3; ++i) strays.push_back(random_id(rng));
  const size_t m = n == 0 ? rng() % 3 : rng() % (3 * n + 1);
  auto pick = [&]() -> Uuid {
    if (n == 0 || rng() % 25 == 0) return strays[rng() % strays.size()];
    return g.nodes[rng() % n];
  };
  for (size_t i = 0; i < m; ++i) {
    EdgeEnds e{pick(), pick()};
    if (rng() % 10 == 0) e.target = e.source;  // self-loop
    g.edges.push_back(e);
    if (rng() % 8 == 0) g.edges.push_back(e);  // parallel edge
    if (rng() % 8 == 0) g.edges.push_back({e.target, e.source});
  }
  for (const EdgeEnds& e : g.edges) {
    if (taken.count(e.source) && taken.count(e.target)) g.node_edges.push_back(e);
  }
  return g;
}

template <class T>
void expect_same(const NodeMap<T>& got, const reference::Map<T>& want, uint64_t seed, const char* what,
                 double tolerance = 0) {
  ASSERT_EQ(got.size(), want.size()) << what << " seed " << seed;
  for (const auto& [id, v] : want) {
    const T* g = got.find(id);
    ASSERT_NE(g, nullptr) << what << " seed " << seed;
    if (tolerance == 0) {
      ASSERT_EQ(*g, v) << what << " seed " << seed;
    } else {
      ASSERT_NEAR(*g, v, tolerance * std::max(1.0, std::abs(static_cast<double>(v)))) << what << " seed " << seed;
    }
  }
}

constexpr uint64_t kGraphs = 200;

TEST(Reference, PageRankDegreeClustering) {
  for (uint64_t seed = 1; seed <= kGraphs; ++seed) {
    Multigraph g = random_multigraph(seed);
    if (g.nodes.empty()) continue;  // never called without nodes
    for (uint64_t iterations : {uint64_t{100}, uint64_t{3}}) {
      expect_same(pagerank(g.nodes, g.edges, {0.85, iterations, 1e-6}),
                  reference::pagerank(g.nodes, g.edges, 0.85, iterations, 1e-6), seed, "pagerank");
    }
    for (int direction : {0, 1, 2}) {
      for (bool normalized : {false, true}) {
        expect_same(degree(g.nodes, g.edges, {normalized, static_cast<DegreeDirection>(direction)}),
                    reference::degree(g.nodes, g.edges, direction, normalized), seed, "degree");
      }
    }
    expect_same(clustering(g.nodes, g.edges), reference::clustering(g.nodes, g.edges), seed, "clustering");
  }
}

TEST(Reference, Betweenness) {
  for (uint64_t seed = 1; seed <= kGraphs; ++seed) {
    Multigraph g = random_multigraph(seed);
    for (bool normalized : {false, true}) {
      auto want = reference::betweenness(g.nodes, g.edges, normalized);
      // One block of sources below 128 nodes: the same sums in the same order;
      // above, block totals are added in another order (relative 1e-12).
      double tolerance = g.nodes.size() < 128 ? 0 : 1e-12;
      expect_same(betweenness(g.nodes, g.edges, {normalized}), want, seed, "betweenness", tolerance);
      // Edges with an end outside the node list change nothing.
      expect_same(betweenness(g.nodes, g.node_edges, {normalized}), want, seed, "betweenness", tolerance);
    }
  }
}

TEST(Reference, Communities) {
  for (uint64_t seed = 1; seed <= kGraphs; ++seed) {
    Multigraph g = random_multigraph(seed);
    expect_same(community::detect_communities(g.nodes, g.edges, {}),
                reference::community(g.nodes, g.edges, 1.0, 100, 0.0001), seed, "community");
    expect_same(query::zql::executor::aggregations::label_propagation(g.nodes, g.edges),
                reference::community_fast(g.nodes, g.edges), seed, "community_fast");
    for (double gamma : {0.1, 0.4}) {
      reference::Leiden ref;
      ref.gamma = gamma;
      expect_same(community::LeidenCommunity::with_gamma(gamma).detect(g.nodes, g.edges), ref.detect(g.nodes, g.edges),
                  seed, "leiden");
    }
  }
}

TEST(Reference, ShortestPath) {
  for (uint64_t seed = 1; seed <= kGraphs; ++seed) {
    Multigraph g = random_multigraph(seed);
    if (g.nodes.size() < 2) continue;
    std::mt19937_64 rng(seed);
    for (int i = 0; i < 20; ++i) {
      const Uuid& s = g.nodes[rng() % g.nodes.size()];
      const Uuid& t = g.nodes[rng() % g.nodes.size()];
      auto got = shortest_path_search(g.edges, s, t);
      auto want = reference::shortest_distance(g.edges, s, t);
      ASSERT_EQ(got.has_value(), want.has_value()) << seed;
      if (got) {
        ASSERT_EQ(got->distance, *want) << seed;
      }
    }
  }
}

}  // namespace
}  // namespace zudizid::algorithms
