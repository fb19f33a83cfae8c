#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <set>

#include "graph/embeddings.h"
#include "graph/vector/hnsw_index.h"
#include "graph/vector/index_cache.h"
#include "tests/core/graph/graph_fixture.h"

namespace zudizid::graph {
namespace {

using testing::id;
using testing::TempDir;
using Vec = std::vector<float>;

class EmbeddingIndexTest : public ::testing::Test {
 protected:
  EmbeddingIndexTest() : g(testing::make_graph(dir.path(), false)) {}

  void add_node(int n) { ASSERT_TRUE(g.storage()->put_node(testing::node(n)).has_value()); }
  void embed(int n, Vec v, const std::string& model = "m") {
    auto r = add_node_embedding(g, id(n), std::move(v), model);
    ASSERT_TRUE(r.has_value()) << r.error().display();
  }
  // Nodes 1..n with distinct directions in the plane (node i at angle i deg).
  void fan(int n, const std::string& model = "m") {
    for (int i = 1; i <= n; ++i) {
      add_node(i);
      double a = i * M_PI / 180.0;
      embed(i, Vec{static_cast<float>(std::cos(a)), static_cast<float>(std::sin(a))}, model);
    }
  }
  std::string build_error(std::string_view model) {
    auto r = build_embedding_index(g, model);
    return r ? "built" : r.error().display();
  }

  TempDir dir;
  Graph g;
};

TEST_F(EmbeddingIndexTest, BuildReadsOnlyTheModelsNodeEmbeddings) {
  EXPECT_EQ(build_error("m"), "build_embedding_index: no embeddings found for model 'm'");
  fan(3);
  fan(2, "m2");  // same nodes, another model
  // An edge embedding of the same model with another length would break the
  // build if it were read.
  ASSERT_TRUE(g.storage()->put_edge_embedding(EdgeEmbedding{id(1), Vec{1, 2, 3}, "m", 1}).has_value());
  auto idx = build_embedding_index(g, "m");
  ASSERT_TRUE(idx.has_value()) << idx.error().display();
  EXPECT_EQ((*idx)->model(), "m");
  EXPECT_EQ((*idx)->dimension(), 2u);
  EXPECT_EQ((*idx)->id_to_node(), (std::vector<Uuid>{id(1), id(2), id(3)}));  // key order
  EXPECT_EQ(build_error("M"), "build_embedding_index: no embeddings found for model 'M'");
  EXPECT_EQ(build_error(""), "build_embedding_index: no embeddings found for model ''");
}

TEST_F(EmbeddingIndexTest, RefusedBuilds) {
  fan(3);
  add_node(4);
  // Stored directly: the embedding writer refuses another length now, but
  // records written before that can hold one.
  ASSERT_TRUE(g.storage()->put_node_embedding(Embedding{id(4), Vec{1, 2, 3}, "m", 1}).has_value());
  EXPECT_EQ(build_error("m"), fmt::format("HnswIndex::build_batch: node {} has dimension 3, expected 2", id(4).to_string()));
  // Stored directly: the embedding writer refuses such vectors now, but
  // records written before that, or by other writers, can hold them.
  ASSERT_TRUE(g.storage()->put_node_embedding(Embedding{id(4), Vec{1, NAN}, "m", 1}).has_value());
  EXPECT_EQ(build_error("m"), fmt::format("HnswIndex::build_batch: node {} has an unusable vector: vector component 1 "
                                          "is not a finite number",
                                          id(4).to_string()));
  // Stored as given: the embedding layer itself checks nothing.
  EXPECT_TRUE(read_node_embedding(*g.storage(), id(4), "m").has_value());
}

TEST_F(EmbeddingIndexTest, SearchResults) {
  fan(5);
  auto idx = std::move(*build_embedding_index(g, "m"));
  auto bad = idx->search(Vec{1, 0, 0}, 3, 30);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().display(), "HnswIndex(m): query dimension 3 != index dimension 2");

  // Nearest first; k beyond the index size gives every node once; ef < k.
  auto hits = *idx->search(Vec{1, 0}, 10, 1);
  ASSERT_EQ(hits.size(), 5u);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(hits[i].first, id(i + 1));
  for (size_t i = 1; i < hits.size(); ++i) EXPECT_LT(hits[i - 1].second, hits[i].second);
  // Distances are the library's cosine, unconverted.
  Vec v1{static_cast<float>(std::cos(M_PI / 180.0)), static_cast<float>(std::sin(M_PI / 180.0))};
  EXPECT_EQ(hits[0].second, vantor::dist::DistCosine{}.eval(Vec{1, 0}, v1));
  EXPECT_NEAR(hits[0].second, 1.0 - std::cos(M_PI / 180.0), 1e-7);
  EXPECT_TRUE(idx->search(Vec{1, 0}, 0, 30)->empty());
  // A zero query is at distance 0 from everything.
  auto zero = idx->search(Vec{0, 0}, 5, 30);
  ASSERT_TRUE(zero.has_value());
  for (const auto& [node, d] : *zero) EXPECT_EQ(d, 0.0f);
}

TEST_F(EmbeddingIndexTest, SingleVectorIndex) {
  add_node(1);
  embed(1, Vec{3, 4});
  auto hits = *std::move(*build_embedding_index(g, "m"))->search(Vec{4, 3}, 5, 30);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].first, id(1));
  EXPECT_EQ(hits[0].second, vantor::dist::DistCosine{}.eval(Vec{4, 3}, Vec{3, 4}));
  EXPECT_NEAR(hits[0].second, 1.0 - 24.0 / 25.0, 1e-7);
}

// Both build paths (one at a time below 128 vectors, parallel from 128) find
// the exact nearest neighbour of every stored vector.
TEST_F(EmbeddingIndexTest, SequentialAndParallelBuildsFindEveryVector) {
  std::mt19937 rng(7);
  std::normal_distribution<float> gauss(0, 1);
  for (int n : {127, 128}) {
    std::string model = "m" + std::to_string(n);
    std::vector<Vec> vs;
    for (int i = 1; i <= n; ++i) {
      add_node(i);
      Vec v(16);
      for (auto& x : v) x = gauss(rng);
      vs.push_back(v);
      embed(i, v, model);
    }
    auto idx = std::move(*build_embedding_index(g, model));
    ASSERT_EQ(idx->size(), static_cast<size_t>(n));
    for (int i = 0; i < n; ++i) {
      auto hits = *idx->search(vs[i], 1, 30);
      ASSERT_EQ(hits.size(), 1u);
      EXPECT_EQ(hits[0].first, id(i + 1)) << model;
    }
  }
}

// ---- the per-model cache ---------------------------------------------------------

TEST_F(EmbeddingIndexTest, CacheReusesUntilAModelsNodeEmbeddingIsStored) {
  fan(4, "a");
  fan(4, "b");
  auto a1 = *embedding_index_for_model(g, "a");
  auto b1 = *embedding_index_for_model(g, "b");
  EXPECT_EQ(*embedding_index_for_model(g, "a"), a1);  // served from the cache
  EXPECT_EQ(g.clone().embedding_indexes().size(), 2u);  // shared by every copy

  // Edge embeddings and failed stores leave the entry in place.
  ASSERT_TRUE(g.storage()->put_edge_embedding(EdgeEmbedding{id(1), Vec{1, 0}, "a", 1}).has_value());
  EXPECT_FALSE(add_node_embedding(g, id(99), Vec{1, 0}, "a").has_value());  // no such node
  EXPECT_EQ(*embedding_index_for_model(g, "a"), a1);

  add_node(5);
  embed(5, Vec{-1, 0}, "a");
  EXPECT_EQ(g.embedding_indexes().lookup("a"), nullptr);
  EXPECT_EQ(g.embedding_indexes().lookup("b"), b1);
  auto a2 = *embedding_index_for_model(g, "a");
  EXPECT_NE(a2, a1);
  EXPECT_EQ(a2->size(), 5u);
  EXPECT_EQ((*a2->search(Vec{-1, 0}, 1, 30))[0].first, id(5));
  // An index handed out before the invalidation keeps its old contents.
  EXPECT_EQ(a1->size(), 4u);
  EXPECT_NE((*a1->search(Vec{-1, 0}, 1, 30))[0].first, id(5));
}

TEST_F(EmbeddingIndexTest, FailedBuildsCacheNothing) {
  for (int round = 0; round < 2; ++round) {
    auto r = embedding_index_for_model(g, "none");
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().display(), "build_embedding_index: no embeddings found for model 'none'");
  }
  EXPECT_EQ(g.embedding_indexes().size(), 0u);
}

// A build that read storage before an invalidation never enters the cache,
// while one begun after it does; its requester gets its index either way.
TEST_F(EmbeddingIndexTest, StaleBuildIsNotCached) {
  fan(3);
  EmbeddingIndexCache& cache = g.embedding_indexes();
  uint64_t before = cache.generation("m");
  std::shared_ptr<const HnswIndex> stale = std::move(*build_embedding_index(g, "m"));
  add_node(4);
  embed(4, Vec{0, 1});  // invalidates "m"
  EXPECT_NE(cache.generation("m"), before);
  EXPECT_FALSE(cache.install("m", before, stale));
  EXPECT_EQ(cache.lookup("m"), nullptr);

  uint64_t now = cache.generation("m");
  std::shared_ptr<const HnswIndex> fresh = std::move(*build_embedding_index(g, "m"));
  EXPECT_TRUE(cache.install("m", now, fresh));
  EXPECT_FALSE(cache.install("m", before, stale));  // nor does it replace a newer one
  EXPECT_EQ(cache.lookup("m"), fresh);
  EXPECT_EQ(cache.lookup("m")->size(), 4u);
  // Two current builds: the last insertion wins.
  std::shared_ptr<const HnswIndex> again = std::move(*build_embedding_index(g, "m"));
  EXPECT_TRUE(cache.install("m", now, again));
  EXPECT_EQ(cache.lookup("m"), again);
}

}  // namespace
}  // namespace zudizid::graph
