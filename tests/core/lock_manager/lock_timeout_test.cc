#include <gtest/gtest.h>

#include <chrono>

#include "lock_manager/lock_manager.h"
#include "lock_test_util.h"

namespace zudizid::lock_manager {
namespace {

TEST(LockManagerTimeout, GivesUpAfterFiveSecondsOfHalfSecondSlices) {
  LockManager lm;
  ASSERT_TRUE(lm.acquire(1, testing::node(1), LockMode::Read));
  auto start = std::chrono::steady_clock::now();
  auto got = lm.acquire(2, testing::node(1), LockMode::Write);
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().kind(), DbError::Kind::Concurrency);
  EXPECT_EQ(got.error().display(),
            "Concurrency error: Lock timeout: tx2 waiting for Write lock on node 00000000-0000-0000-0000-000000000001 "
            "(waited 5s)");
  EXPECT_GE(waited, 5.0);
  EXPECT_LE(waited, 5.6);
  EXPECT_FALSE(lm.is_waiting(2));
}

}  // namespace
}  // namespace zudizid::lock_manager
