#include "lock_manager/lock_manager.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/log.h"
#include "lock_test_util.h"

namespace zudizid::lock_manager {
namespace {

using namespace std::chrono_literals;
using testing::node;
constexpr LockMode R = LockMode::Read;
constexpr LockMode W = LockMode::Write;

// A conflicting request fails after its first slice instead of waiting 5 s.
LockManagerOptions fail_fast() { return {.timeout = 0ms, .retry_slice = 1ms}; }

void wait_until_waiting(const LockManager& lm, TxId tx) {
  auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!lm.is_waiting(tx)) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "tx" << tx << " never waited";
    std::this_thread::sleep_for(1ms);
  }
}

TEST(LockManager, GrantAndConflictTable) {
  struct Step {
    TxId tx;
    int node;  // 0: release_all(tx)
    LockMode mode;
    bool granted;
  };
  struct Case {
    const char* name;
    std::vector<Step> steps;
    int probe;
    std::optional<std::pair<TxId, LockMode>> holder;
  };
  const Case cases[] = {
      {"write re-entry", {{1, 1, W, true}, {1, 1, W, true}}, 1, {{1, W}}},
      {"read to write upgrade", {{1, 1, R, true}, {1, 1, W, true}}, 1, {{1, W}}},
      {"upgrade waits for the other readers", {{1, 1, R, true}, {2, 1, R, true}, {1, 1, W, false}}, 1, {{1, R}}},
      {"upgrade after the other readers left",
       {{1, 1, R, true}, {2, 1, R, true}, {2, 0, R, true}, {1, 1, W, true}}, 1, {{1, W}}},
      {"downgrade then other reader", {{1, 1, W, true}, {1, 1, R, true}, {2, 1, R, true}}, 1, {{1, R}}},
      {"first reader stays recorded", {{1, 1, R, true}, {2, 1, R, true}}, 1, {{1, R}}},
      {"write blocks read", {{1, 1, W, true}, {2, 1, R, false}}, 1, {{1, W}}},
      {"read blocks write", {{1, 1, R, true}, {2, 1, W, false}}, 1, {{1, R}}},
      {"write blocks write", {{1, 1, W, true}, {2, 1, W, false}}, 1, {{1, W}}},
      {"other nodes are independent", {{1, 1, W, true}, {2, 2, W, true}}, 2, {{2, W}}},
      {"second reader keeps the node after the first leaves",
       {{1, 1, R, true}, {2, 1, R, true}, {1, 0, R, true}, {3, 1, W, false}}, 1, {{2, R}}},
      {"release of the last reader frees the node",
       {{1, 1, R, true}, {2, 1, R, true}, {1, 0, R, true}, {2, 0, R, true}, {3, 1, W, true}}, 1, {{3, W}}},
      {"repeated read is recorded once",
       {{1, 1, R, true}, {2, 1, R, true}, {2, 1, R, true}, {2, 0, R, true}, {1, 1, W, true}}, 1, {{1, W}}},
      {"release frees every node of the holder",
       {{1, 1, W, true}, {1, 2, R, true}, {1, 0, R, true}}, 2, std::nullopt},
      {"release of an unknown tx changes nothing", {{1, 1, W, true}, {9, 0, R, true}}, 1, {{1, W}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LockManager lm(fail_fast());
    for (const Step& s : c.steps) {
      if (s.node == 0) {
        lm.release_all(s.tx);
        continue;
      }
      auto got = lm.acquire(s.tx, node(s.node), s.mode);
      EXPECT_EQ(got.has_value(), s.granted) << "tx" << s.tx << " node " << s.node;
      if (!s.granted && !got) {
        EXPECT_EQ(got.error().kind(), DbError::Kind::Concurrency);
        EXPECT_EQ(got.error().display(),
                  fmt::format("Concurrency error: Lock timeout: tx{} waiting for {} lock on node {} (waited 0s)", s.tx,
                              lock_mode_name(s.mode), node(s.node).to_string()));
      }
    }
    EXPECT_EQ(lm.holder(node(c.probe)), c.holder);
    EXPECT_FALSE(lm.is_waiting(2)) << "a failed waiter must leave no wait-for edge";
  }
}

TEST(LockManager, ReleaseWakesWaiterBeforeItsSliceEnds) {
  LockManager lm({.timeout = 5000ms, .retry_slice = 2000ms});
  ASSERT_TRUE(lm.acquire(1, node(1), W));
  auto waiter = std::async(std::launch::async, [&] {
    auto start = std::chrono::steady_clock::now();
    auto r = lm.acquire(2, node(1), W);
    return std::make_pair(r.has_value(), std::chrono::steady_clock::now() - start);
  });
  wait_until_waiting(lm, 2);
  lm.release_all(1);
  auto [ok, waited] = waiter.get();
  EXPECT_TRUE(ok);
  EXPECT_LT(waited, 1500ms);
  EXPECT_EQ(lm.holder(node(1)), std::make_pair(TxId{2}, W));
}

TEST(LockManager, WriterWaitsForEveryReaderAndWakesOnTheLast) {
  LockManager lm({.timeout = 5000ms, .retry_slice = 2000ms});
  ASSERT_TRUE(lm.acquire(1, node(1), R));
  ASSERT_TRUE(lm.acquire(2, node(1), R));
  auto writer = std::async(std::launch::async, [&] { return lm.acquire(3, node(1), W); });
  wait_until_waiting(lm, 3);
  lm.release_all(1);
  EXPECT_EQ(writer.wait_for(100ms), std::future_status::timeout) << "writer got in beside a reader";
  auto start = std::chrono::steady_clock::now();
  lm.release_all(2);
  EXPECT_TRUE(writer.get());
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1500ms);
  EXPECT_EQ(lm.holder(node(1)), std::make_pair(TxId{3}, W));
}

TEST(LockManager, TwoReadersUpgradingDeadlockAndTheLargerIsVictim) {
  LockManager lm({.timeout = 5000ms, .retry_slice = 20ms});
  ASSERT_TRUE(lm.acquire(4, node(1), R));
  ASSERT_TRUE(lm.acquire(8, node(1), R));
  auto tx4 = std::async(std::launch::async, [&] { return lm.acquire(4, node(1), W); });
  wait_until_waiting(lm, 4);
  auto got = lm.acquire(8, node(1), W);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().display(), "Deadlock detected: tx8 aborted (victim), was waiting for tx4");
  lm.release_all(8);
  EXPECT_TRUE(tx4.get());
  EXPECT_EQ(lm.holder(node(1)), std::make_pair(TxId{4}, W));
}

TEST(LockManager, DeadlockVictimIsLargestIdOnTheCycle) {
  // tx3 holds A and waits for B; tx7 holds B and asks for A: tx7 closes the
  // cycle, is its largest member and aborts at once.
  log::ScopedCapture capture(log::Level::Warn);
  LockManager lm;
  ASSERT_TRUE(lm.acquire(3, node(1), W));
  ASSERT_TRUE(lm.acquire(7, node(2), W));
  auto tx3 = std::async(std::launch::async, [&] { return lm.acquire(3, node(2), W); });
  wait_until_waiting(lm, 3);
  auto got = lm.acquire(7, node(1), W);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().kind(), DbError::Kind::Deadlock);
  EXPECT_EQ(got.error().display(), "Deadlock detected: tx7 aborted (victim), was waiting for tx3");
  EXPECT_FALSE(lm.is_waiting(7));
  lm.release_all(7);
  EXPECT_TRUE(tx3.get());
  bool warned = false;
  for (const auto& r : capture.records()) warned |= r.message == "Deadlock detected in wait-for graph!";
  EXPECT_TRUE(warned);
}

TEST(LockManager, BystanderWithLargerIdIsNotTheVictim) {
  // tx9 waits on the cycle between tx5 and tx6 without being part of it; the
  // largest id in the whole graph would pick tx9, whose abort frees nothing.
  LockManager lm({.timeout = 5000ms, .retry_slice = 20ms});
  ASSERT_TRUE(lm.acquire(5, node(1), W));
  ASSERT_TRUE(lm.acquire(6, node(2), W));
  auto tx9 = std::async(std::launch::async, [&] { return lm.acquire(9, node(1), W); });
  wait_until_waiting(lm, 9);
  auto tx5 = std::async(std::launch::async, [&] { return lm.acquire(5, node(2), W); });
  wait_until_waiting(lm, 5);
  auto got = lm.acquire(6, node(1), W);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().display(), "Deadlock detected: tx6 aborted (victim), was waiting for tx5");
  lm.release_all(6);
  ASSERT_TRUE(tx5.get());
  lm.release_all(5);
  EXPECT_TRUE(tx9.get());
}

TEST(LockManager, VictimThatWaitedFirstFindsOutOnItsNextAttempt) {
  // tx7 is already waiting when tx3 closes the cycle: tx3 is not the victim
  // and keeps waiting; tx7 sees the cycle when it retries and aborts.
  LockManager lm({.timeout = 5000ms, .retry_slice = 20ms});
  ASSERT_TRUE(lm.acquire(3, node(1), W));
  ASSERT_TRUE(lm.acquire(7, node(2), W));
  auto tx7 = std::async(std::launch::async, [&] {
    auto r = lm.acquire(7, node(1), W);
    lm.release_all(7);
    return r;
  });
  wait_until_waiting(lm, 7);
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(lm.acquire(3, node(2), W));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 3000ms);
  auto r7 = tx7.get();
  ASSERT_FALSE(r7);
  EXPECT_EQ(r7.error().display(), "Deadlock detected: tx7 aborted (victim), was waiting for tx3");
}

TEST(LockManager, NonWaitingLargestIdNeverBlocksCycleResolution) {
  // tx100 only holds a lock someone waits for; the cycle 3 <-> 4 must still
  // be broken by one of its members.
  LockManager lm({.timeout = 5000ms, .retry_slice = 20ms});
  ASSERT_TRUE(lm.acquire(100, node(9), W));
  auto tx2 = std::async(std::launch::async, [&] { return lm.acquire(2, node(9), W); });
  wait_until_waiting(lm, 2);
  ASSERT_TRUE(lm.acquire(3, node(1), W));
  ASSERT_TRUE(lm.acquire(4, node(2), W));
  auto tx3 = std::async(std::launch::async, [&] { return lm.acquire(3, node(2), W); });
  wait_until_waiting(lm, 3);
  auto got = lm.acquire(4, node(1), W);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().kind(), DbError::Kind::Deadlock);
  lm.release_all(4);
  EXPECT_TRUE(tx3.get());
  lm.release_all(100);
  EXPECT_TRUE(tx2.get());
}

}  // namespace
}  // namespace zudizid::lock_manager
