#include <gtest/gtest.h>
#include <tbb/task_arena.h>

#include <atomic>
#include <random>
#include <thread>
#include <vector>

#include "hnsw/hnsw/hnsw.h"
#include "tests/hnsw/graph_checker.h"

namespace vantor {
namespace {

#ifdef ZUDIZID_SANITIZED
constexpr size_t kPoints = 6000;
#else
constexpr size_t kPoints = 100000;
#endif

// Eight pool threads insert while two threads search the growing index; the
// finished graph must satisfy every structural invariant and reach all points.
TEST(HnswStressTest, ParallelInsertKeepsTheGraphSound) {
  const size_t dim = 16;
  std::mt19937 rng(99);
  std::normal_distribution<float> g(0, 1);
  std::vector<float> flat(kPoints * dim);
  for (auto& x : flat) x = g(rng);
  std::vector<Hnsw<float, dist::DistCosine>::InsertItem> items;
  for (size_t i = 0; i < kPoints; ++i) items.push_back({std::span<const float>(&flat[i * dim], dim), i});

  auto h = std::move(*Hnsw<float, dist::DistCosine>::create(16, kPoints, 16, 64));
  std::atomic<bool> done{false};
  std::atomic<size_t> searches{0};
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t) {
    readers.emplace_back([&, t] {
      size_t i = t;
      while (!done.load()) {
        auto r = h->search(items[i % kPoints].first, 10, 32);
        EXPECT_TRUE(r.has_value());
        if (r) {
          for (size_t k = 1; k < r->size(); ++k) EXPECT_LE((*r)[k - 1].distance, (*r)[k].distance);
        }
        i += 7919;
        searches.fetch_add(1);
      }
    });
  }
#if defined(__SANITIZE_THREAD__)
  ASSERT_TRUE(h->parallel_insert(items).has_value());  // plain threads there
#else
  tbb::task_arena arena(8);
  arena.execute([&] { ASSERT_TRUE(h->parallel_insert(items).has_value()); });
#endif
  done.store(true);
  for (auto& t : readers) t.join();

  EXPECT_EQ(h->nb_point(), kPoints);
  EXPECT_GT(searches.load(), 0u);
  EXPECT_EQ(testing::check_graph(*h), "");
  std::vector<char> seen(kPoints, 0);
  for (uint32_t p = 0; p < kPoints; ++p) {
    uint64_t id = h->origin_id(p);
    ASSERT_LT(id, kPoints);
    ASSERT_FALSE(seen[id]) << "data id " << id << " stored twice";
    seen[id] = 1;
  }
}

// Many inserts racing into an empty index: exactly one becomes the entry
// point and every point is reachable from it (check_graph walks all lists).
TEST(HnswConcurrencyTest, RacingFirstInsertsLeaveNoPointUnlinked) {
  for (int round = 0; round < 30; ++round) {
    auto h = std::move(*Hnsw<float, dist::DistL2>::create(4, 16, 16, 16));
    const int threads = 8;
    std::atomic<int> ready{0};
    std::vector<std::thread> ts;
    for (int t = 0; t < threads; ++t) {
      ts.emplace_back([&, t] {
        ready.fetch_add(1);
        while (ready.load() < threads) std::this_thread::yield();
        std::vector<float> v{static_cast<float>(t), static_cast<float>(t * t)};
        EXPECT_TRUE(h->insert(v, t).has_value());
      });
    }
    for (auto& t : ts) t.join();
    ASSERT_EQ(testing::check_graph(*h), "") << "round " << round;
    ASSERT_EQ(h->nb_point(), static_cast<uint64_t>(threads));
  }
}

}  // namespace
}  // namespace vantor
