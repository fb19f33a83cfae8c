#include "lock_manager/wait_for_graph.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <utility>
#include <vector>

namespace zudizid::lock_manager {
namespace {

WaitForGraph build(const std::vector<std::pair<TxId, TxId>>& edges) {
  WaitForGraph g;
  for (auto [a, b] : edges) g.add_edge(a, b);
  return g;
}

TEST(WaitForGraph, FindCycleReturnsOnlyCycleMembers) {
  struct Case {
    const char* name;
    std::vector<std::pair<TxId, TxId>> edges;
    std::vector<TxId> cycle;  // sorted; empty when acyclic
  };
  const Case cases[] = {
      {"empty", {}, {}},
      {"chain", {{1, 2}, {2, 3}}, {}},
      {"diamond", {{1, 2}, {1, 3}, {2, 4}, {3, 4}}, {}},
      {"two-cycle", {{3, 7}, {7, 3}}, {3, 7}},
      {"self-wait", {{4, 4}}, {4}},
      {"tail into cycle", {{9, 5}, {5, 6}, {6, 5}}, {5, 6}},
      {"non-waiting large holder", {{2, 100}, {3, 4}, {4, 3}}, {3, 4}},
      {"three-cycle with branch", {{1, 2}, {2, 3}, {3, 1}, {2, 8}, {8, 9}}, {1, 2, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<TxId> got = build(c.edges).find_cycle();
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, c.cycle);
  }
}

TEST(WaitForGraph, RemoveAllEdgesDropsListsLeftEmpty) {
  WaitForGraph g = build({{1, 2}, {1, 2}, {3, 2}, {3, 4}, {2, 5}});
  g.remove_all_edges(2);
  EXPECT_FALSE(g.waits(1));  // its only target was 2
  EXPECT_FALSE(g.waits(2));
  ASSERT_TRUE(g.waits(3));
  EXPECT_EQ(*g.waits_for(3), std::vector<TxId>{4});

  g.remove_edge(3, 4);
  EXPECT_TRUE(g.empty());
}

}  // namespace
}  // namespace zudizid::lock_manager
