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
#include "graph/upsert/upsert.h"
#include "transaction/transaction.h"

#include <future>

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

// Commits (which wait for the applier), single writes through the applier,
// bulk flushes and upserts all take the storage write lock; none may wait
// for the applier while holding it. Everything must finish well within the
// timeout.
TEST(EngineStress, CommitsAppliesAndFlushesNeverDeadlock) {
  auto opened = open_in_memory(Profile::Default);
  ASSERT_TRUE(opened.has_value());
  Graph& g = *opened;
  auto host = [&] { return std::make_shared<Graph>(g.clone()); };
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 100; ++i) {
        auto tx = transaction::Transaction::begin(host());
        Node n{Uuid::new_v4(), "C", {{"t", Int(t)}}, NodeKind::Individual};
        Uuid a = n.id;
        (void)tx->add_node(std::move(n));
        (void)tx->add_edge(Edge{Uuid::new_v4(), a, a, "SELF", {}});
        if (!transaction::Transaction::commit(std::move(tx))) failures.fetch_add(1);
      }
    });
  }
  threads.emplace_back([&] {
    Graph w = g.clone();
    for (int i = 0; i < 100; ++i) {
      if (!w.submit_write(WriteOp{WriteOp::PutNode{node(50000 + i, "W"), false}})) failures.fetch_add(1);
    }
  });
  threads.emplace_back([&] {
    BulkLoader loader(g, 20);
    for (int i = 0; i < 400; ++i) {
      if (loader.add_node(node(60000 + i, "B")) && !loader.flush_nodes()) failures.fetch_add(1);
      if (loader.add_edge(edge(70000 + i, 60000, 60000 + i, "B")) && !loader.flush_edges()) failures.fetch_add(1);
    }
    if (!loader.finish()) failures.fetch_add(1);
  });
  threads.emplace_back([&] {
    for (int i = 0; i < 50; ++i) {
      upsert::UpsertRequest r{"U", "k", {{"k", Int(i % 5)}, {"v", Int(i)}}, std::nullopt, {}};
      if (!upsert::upsert_one(g, r)) failures.fetch_add(1);
    }
  });
  auto all = std::async(std::launch::async, [&] {
    for (auto& th : threads) th.join();
  });
  ASSERT_EQ(all.wait_for(std::chrono::seconds(90)), std::future_status::ready) << "deadlock";
  EXPECT_EQ(failures.load(), 0);
  auto out = g.get_outgoing_edges(id(60000));
  ASSERT_TRUE(out.has_value());
  EXPECT_EQ(out->size(), 400u);
}

}  // namespace
}  // namespace zudizid::graph
