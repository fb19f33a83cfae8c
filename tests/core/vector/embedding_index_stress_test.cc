#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "graph/embeddings.h"
#include "graph/vector/index_cache.h"
#include "tests/core/graph/graph_fixture.h"

namespace zudizid::graph {
namespace {

// Requests of a model race with stores of its embeddings. Whatever the
// interleaving, once the stores are done the cache never serves an index that
// lacks one of them: a build that read storage before a store is discarded.
TEST(EmbeddingIndexStressTest, CacheNeverKeepsAnIndexOlderThanTheLastStore) {
  testing::TempDir dir;
  Graph g = testing::make_graph(dir.path(), false);
  constexpr int kNodes = 40;
  for (int i = 1; i <= kNodes; ++i) ASSERT_TRUE(g.storage()->put_node(testing::node(i)).has_value());
  ASSERT_TRUE(add_node_embedding(g, testing::id(1), {1, 0}, "m").has_value());

  std::atomic<bool> done{false};
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      while (!done.load()) {
        auto idx = embedding_index_for_model(g, "m");
        ASSERT_TRUE(idx.has_value()) << idx.error().display();
        ASSERT_GE((*idx)->size(), 1u);
      }
    });
  }
  for (int i = 2; i <= kNodes; ++i) {
    float a = static_cast<float>(i);
    ASSERT_TRUE(add_node_embedding(g, testing::id(i), {a, 1}, "m").has_value());
    std::this_thread::yield();
  }
  done.store(true);
  for (auto& t : readers) t.join();
  for (int round = 0; round < 3; ++round) {
    auto idx = embedding_index_for_model(g, "m");
    ASSERT_TRUE(idx.has_value());
    EXPECT_EQ((*idx)->size(), static_cast<size_t>(kNodes));
  }
}

}  // namespace
}  // namespace zudizid::graph
