// Eight threads UPDATE different properties of one node at once: every
// change survives, because each UPDATE locks the node before it reads it;
// a node deleted among such UPDATEs stays deleted.
#include <fmt/format.h>

#include <atomic>
#include <thread>

#include "tests/core/zql_exec/exec_fixture.h"

namespace zudizid::query::zql::executor::testing {
namespace {

using UpdateStress = ExecTest;

TEST_F(UpdateStress, ConcurrentUpdatesOfOneNodeAllSurvive) {
  write("ADD (n:Hot {name: 'h'})");
  write("ADD (m:Cold {name: 'c'})");
  constexpr int kThreads = 8;
  constexpr int kRounds = 25;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int r = 1; r <= kRounds; ++r) {
        auto result = execute_statement(g(), fmt::format("UPDATE (n:Hot {{name: 'h'}}) SET n.p{} = {}", t, r));
        if (!result || result->write_summary()->nodes_updated != 1) failures.fetch_add(1);
        // UPDATEs and one DELETE of another node run beside them: once
        // deleted, no UPDATE brings it back.
        if (!execute_statement(g(), fmt::format("UPDATE (m:Cold) SET m.t{} = {}", t, r))) failures.fetch_add(1);
        if (t == 0 && r == kRounds / 2 && !execute_statement(g(), "DELETE (m:Cold)")) failures.fetch_add(1);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  auto hot = g().nodes_with_label("Hot").collect();
  ASSERT_TRUE(hot);
  ASSERT_EQ(hot->size(), 1u);
  for (int t = 0; t < kThreads; ++t) {
    auto it = hot->front().properties.find(fmt::format("p{}", t));
    ASSERT_NE(it, hot->front().properties.end()) << "p" << t << " lost";
    EXPECT_EQ(it->second.as_int(), kRounds);
  }
  EXPECT_EQ(values("Cold", "name").size(), 0u);
}

}  // namespace
}  // namespace zudizid::query::zql::executor::testing
