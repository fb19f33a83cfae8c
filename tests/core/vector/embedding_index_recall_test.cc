#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>
#include <set>

#include "graph/embeddings.h"
#include "graph/vector/hnsw_index.h"
#include "tests/core/graph/graph_fixture.h"

namespace zudizid::graph {
namespace {

// 20,000 clustered 128-dimensional embeddings, the fixed build parameters
// and the default search ef: recall@10 against exact cosine neighbours.
TEST(EmbeddingIndexRecallTest, ClusteredEmbeddingsRecallAtTen) {
  constexpr int kNodes = 20000, kDim = 128, kClusters = 200, kQueries = 200, kK = 10;
  testing::TempDir dir;
  Graph g = testing::make_graph(dir.path(), false);
  std::mt19937 rng(42);
  std::normal_distribution<float> gauss(0, 1), noise(0, 0.35f);
  std::vector<std::vector<float>> centers(kClusters, std::vector<float>(kDim));
  for (auto& c : centers)
    for (auto& x : c) x = gauss(rng);
  auto draw = [&] {
    std::vector<float> v = centers[rng() % kClusters];
    for (auto& x : v) x += noise(rng);
    return v;
  };
  std::vector<std::vector<float>> data;
  for (int i = 0; i < kNodes; ++i) {
    ASSERT_TRUE(g.storage()->put_node(testing::node(i)).has_value());
    data.push_back(draw());
    ASSERT_TRUE(add_node_embedding(g, testing::id(i), data.back(), "m").has_value());
  }
  auto built = build_embedding_index(g, "m");
  ASSERT_TRUE(built.has_value()) << built.error().display();
  const HnswIndex& idx = **built;
  // Data ids follow key order; map them back to positions in `data`.
  std::unordered_map<Uuid, int> pos;
  for (int i = 0; i < kNodes; ++i) pos[testing::id(i)] = i;
  auto cosine = [](const std::vector<float>& a, const std::vector<float>& b) {
    double ab = 0, aa = 0, bb = 0;
    for (int i = 0; i < kDim; ++i) ab += double(a[i]) * b[i], aa += double(a[i]) * a[i], bb += double(b[i]) * b[i];
    return 1 - ab / std::sqrt(aa * bb);
  };
  size_t found = 0;
  std::vector<int> order(kNodes);
  std::vector<double> d(kNodes);
  for (int q = 0; q < kQueries; ++q) {
    std::vector<float> query = draw();
    for (int i = 0; i < kNodes; ++i) d[i] = cosine(query, data[i]);
    std::iota(order.begin(), order.end(), 0);
    std::partial_sort(order.begin(), order.begin() + kK, order.end(), [&](int a, int b) { return d[a] < d[b]; });
    std::set<int> truth(order.begin(), order.begin() + kK);
    auto hits = idx.search(query, kK, kDefaultSearchEf);
    ASSERT_TRUE(hits.has_value());
    ASSERT_EQ(hits->size(), static_cast<size_t>(kK));
    for (const auto& [node, dist] : *hits) found += truth.count(pos.at(node));
  }
  double recall = static_cast<double>(found) / (kK * kQueries);
  RecordProperty("recall_at_10", std::to_string(recall));
  EXPECT_GE(recall, 0.95);
}

}  // namespace
}  // namespace zudizid::graph
