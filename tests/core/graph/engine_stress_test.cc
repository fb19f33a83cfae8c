// Concurrency of the engine's own locks: business-key locks serialise
// overlapping upserts, and bulk flushes from several loaders interleave
// safely with adjacency readers.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <thread>

#include "../index/fixtures.h"
#include "graph/bulk_load.h"
#include "graph/open.h"
#include "graph/upsert/key_lock.h"

namespace zudizid::graph {
namespace {

using namespace zudizid::testing;

// 8 threads x 200 find-or-create steps over 20 overlapping keys: with the key
// lock held across lookup and insert, each key ends with exactly one record.
TEST(EngineStress, KeyLockSerialisesLookupAndCreate) {
  std::mutex store_mu;
  std::multimap<std::int64_t, int> store;  // key value -> record
  std::atomic<int> created{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        std::int64_t k = (i * 7 + t) % 20;
        auto m = upsert::key_lock("User", "id", Int(k));
        std::lock_guard g(*m);
        bool found;
        {
          std::lock_guard s(store_mu);
          found = store.count(k) > 0;
        }
        std::this_thread::yield();  // widen the lookup-to-write window
        if (!found) {
          std::lock_guard s(store_mu);
          store.emplace(k, t);
          created.fetch_add(1);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(created.load(), 20);
  for (std::int64_t k = 0; k < 20; ++k) EXPECT_EQ(store.count(k), 1u);
}

TEST(EngineStress, ConcurrentLoadersAndReaders) {
  namespace fs = std::filesystem;
  fs::path dir = fs::path(::testing::TempDir()) / "engine_stress_loaders";
  fs::remove_all(dir);
  auto opened = open_graph(dir, Profile::Default);
  ASSERT_TRUE(opened.has_value());
  Graph& target = *opened;
  std::atomic<bool> done{false};
  std::thread reader([&] {
    while (!done.load()) {
      std::shared_lock g(target.outgoing_adjacency().mu);
      (void)target.outgoing_adjacency().map.size();
    }
  });
  std::vector<std::thread> loaders;
  for (int t = 0; t < 4; ++t) {
    loaders.emplace_back([&, t] {
      BulkLoader loader(target, 50);
      for (int i = 0; i < 500; ++i) {
        if (loader.add_edge(edge(100000 * (t + 1) + i, 1, 2 + i % 10, "T"))) {
          ASSERT_TRUE(loader.flush_edges());
        }
        if (loader.add_node(node(2 + i % 10, "N"))) {
          ASSERT_TRUE(loader.flush_nodes());
        }
      }
      ASSERT_TRUE(loader.finish());
    });
  }
  for (auto& th : loaders) th.join();
  done = true;
  reader.join();
  EXPECT_EQ(target.outgoing_adjacency().map[id(1)].size(), 2000u);
  auto out = target.get_outgoing_edges(id(1));
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(out->size(), 2000u);
  fs::remove_all(dir);
}

}  // namespace
}  // namespace zudizid::graph
