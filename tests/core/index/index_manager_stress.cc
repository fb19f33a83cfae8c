// Concurrent readers and writers of one index registry.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "fixtures.h"
#include "index/index_manager.h"
#include "tests/support/temp_dir.h"

namespace zudizid::index {
namespace {

using namespace zudizid::testing;

TEST(IndexManagerStress, HierarchyIsAlwaysVisibleWhileWritersRun) {
  TempDir dir;
  FakeSource source;
  for (int i = 0; i < 50; ++i) source.nodes.push_back(node(i, "P", {{"k", Int(i % 7)}}));
  IndexManager manager(dir.path());
  taxonomy::TaxonomyIndex t;
  for (int i = 0; i < 20; ++i) t.register_class(id(1000 + i), "C" + std::to_string(i));
  for (int i = 1; i < 20; ++i) ASSERT_TRUE(t.add_subclass(id(1000 + i - 1), id(1000 + i)));
  manager.register_taxonomy(t);
  ASSERT_TRUE(manager.create_index(source, "P", "k", IndexType::Hash));

  constexpr int kRounds = 1500;
  std::atomic<int> misses{0}, wrong{0};
  std::vector<std::thread> threads;
  for (int w = 0; w < 2; ++w) {
    threads.emplace_back([&, w] {
      for (int i = 0; i < kRounds; ++i) {
        ASSERT_TRUE(manager.index_node("P_k", Int(i % 7), id(w * kRounds + i)));
        if (i % 100 == 0) manager.register_taxonomy(t);
        // Renames and new classes on the shared hierarchy while readers hold snapshots.
        ASSERT_TRUE(manager.index_node("_taxonomy", Str("N" + std::to_string(i)), id(5000 + w)));
      }
    });
  }
  threads.emplace_back([&] {
    FakeSource local = source;
    for (int i = 0; i < 40; ++i) {
      ASSERT_TRUE(manager.create_index(local, "P", "extra", IndexType::BTree));
      ASSERT_TRUE(manager.drop_index("P_extra"));
    }
  });
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        auto copy = manager.get_taxonomy();
        if (!copy) {
          ++misses;
          continue;
        }
        if (!copy->named_class_is_subclass_of("C19", id(1000))) ++wrong;
        auto hits = manager.get("P_k", {IndexQuery::Equals{Int(3)}});
        if (!hits || hits->empty()) ++wrong;
        (void)manager.find_by_label_property("P", "k");
        (void)manager.list();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(misses.load(), 0);
  EXPECT_EQ(wrong.load(), 0);
  EXPECT_EQ(manager.list().size(), 1u);
  EXPECT_EQ(manager.list()[0].size, 50u + 2 * kRounds);
}

}  // namespace
}  // namespace zudizid::index
