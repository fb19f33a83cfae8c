// The periodic flusher: passes, draining on stop, and failure handling.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "kv/flusher/flusher.h"

namespace kelm::flusher {
namespace {

using namespace std::chrono_literals;

struct Counters {
  std::atomic<int> rolls{0}, cleans{0}, syncs{0}, errors{0};
  std::atomic<uint64_t> to_roll{0};  // bytes the next rolls report, one roll each
  std::atomic<int> roll_errno{0}, sync_errno{0};
  std::atomic<bool> clean_progress{false};

  Hooks hooks() {
    return Hooks{
        [this]() -> Result<uint64_t> {
          ++rolls;
          if (int e = roll_errno.load()) return std::unexpected(Error::io(zudizid::common::IoError::from_os(e)));
          uint64_t n = to_roll.load();
          if (n) --to_roll;
          return n ? 1 : 0;
        },
        [this]() -> Result<bool> {
          ++cleans;
          if (clean_progress) std::this_thread::sleep_for(2ms);
          return clean_progress.load();
        },
        [this]() -> IoResult<void> {
          ++syncs;
          if (int e = sync_errno.load()) return std::unexpected(zudizid::common::IoError::from_os(e));
          return {};
        },
        [this](const Error&) { ++errors; },
    };
  }
};

TEST(Flusher, EachPassRollsCleansAndSyncs) {
  Counters c;
  auto f = Flusher::start(10, c.hooks());
  ASSERT_TRUE(f);
  std::this_thread::sleep_for(100ms);
  (*f)->stop();
  EXPECT_GE(c.rolls.load(), 3);
  EXPECT_GE(c.cleans.load(), 3);  // at least one step per pass, even with nothing to clean
  EXPECT_GE(c.syncs.load(), 3);
  EXPECT_EQ((*f)->state(), FlusherState::Stopped);
}

TEST(Flusher, StopDuringSleepDrainsUntilARollSealsNothing) {
  Counters c;
  auto f = Flusher::start(60'000, c.hooks());  // one pass, then a long sleep
  ASSERT_TRUE(f);
  std::this_thread::sleep_for(50ms);
  const int rolls = c.rolls, syncs = c.syncs;
  ASSERT_EQ(rolls, 1);
  (*f)->stop();  // the pass before the sleep sealed nothing: no further roll
  EXPECT_EQ(c.rolls.load(), 1);

  Counters d;
  d.to_roll = 3;
  auto g = Flusher::start(60'000, d.hooks());
  ASSERT_TRUE(g);
  std::this_thread::sleep_for(50ms);
  (*g)->stop();  // rolls again until one seals nothing, without syncing
  EXPECT_EQ(d.rolls.load(), 4);
  EXPECT_EQ(d.syncs.load(), syncs);
}

TEST(Flusher, RollErrorStopsTheThreadAndStopOnlyJoins) {
  Counters c;
  c.roll_errno = EIO;
  auto f = Flusher::start(5, c.hooks());
  ASSERT_TRUE(f);
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ((*f)->state(), FlusherState::Stopped);
  EXPECT_EQ(c.rolls.load(), 1);
  (*f)->stop();
}

TEST(Flusher, SyncFailureStopsTheLog) {
  Counters c;
  c.sync_errno = EIO;
  auto f = Flusher::start(5, c.hooks());
  ASSERT_TRUE(f);
  std::this_thread::sleep_for(30ms);
  (*f)->stop();
  EXPECT_GE(c.errors.load(), 1);
}

TEST(Flusher, CleaningTakesAtMostHalfAPeriod) {
  Counters c;
  c.clean_progress = true;
  auto f = Flusher::start(40, c.hooks());
  ASSERT_TRUE(f);
  std::this_thread::sleep_for(200ms);
  (*f)->stop();
  // Each pass may clean for about 20 ms in 2 ms steps; far fewer than an
  // unbounded loop would manage.
  EXPECT_GE(c.rolls.load(), 3);
  EXPECT_LE(c.cleans.load(), c.rolls.load() * 15);
}

}  // namespace
}  // namespace kelm::flusher
