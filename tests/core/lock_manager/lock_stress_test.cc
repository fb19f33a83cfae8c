// Many threads run random lock sets against few nodes, so conflicts and
// deadlock cycles are frequent. Checks that a Write lock is never held by two
// transactions at once, that Read and Write locks of different transactions
// never overlap (in either order of granting), and that every cycle is broken
// (no transaction hangs).
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "lock_manager/lock_manager.h"
#include "lock_test_util.h"

namespace zudizid::lock_manager {
namespace {

using namespace std::chrono_literals;

TEST(LockManagerStress, ReadWriteExclusionAndCyclesBroken) {
  constexpr int kThreads = 8;
  constexpr int kNodes = 6;
  constexpr int kTxPerThread = 150;
  LockManager lm({.timeout = 3000ms, .retry_slice = 5ms});
  std::array<std::atomic<TxId>, kNodes> writer{};  // 0: no writer
  std::array<std::atomic<int>, kNodes> readers{};  // transactions inside a Read lock
  std::atomic<TxId> next_tx{1};
  std::atomic<int> committed{0}, victims{0}, timeouts{0}, violations{0}, reader_overlaps{0};

  auto worker = [&](int seed) {
    std::mt19937 rng(seed);
    for (int i = 0; i < kTxPerThread; ++i) {
      TxId tx = next_tx.fetch_add(1);
      std::vector<int> written, read;
      std::vector<bool> has_write(kNodes, false), has_read(kNodes, false);
      bool failed = false;
      int n = 1 + static_cast<int>(rng() % 3);
      for (int k = 0; k < n && !failed; ++k) {
        int idx = static_cast<int>(rng() % kNodes);
        LockMode mode = (rng() % 2) ? LockMode::Write : LockMode::Read;
        if (has_write[idx]) continue;  // never downgrade a held Write
        auto r = lm.acquire(tx, testing::node(idx + 1), mode);
        if (!r) {
          failed = true;
          (r.error().kind() == DbError::Kind::Deadlock ? victims : timeouts).fetch_add(1);
          break;
        }
        if (mode == LockMode::Write) {
          TxId expected = 0;
          if (!writer[idx].compare_exchange_strong(expected, tx)) violations.fetch_add(1);
          if (readers[idx].load() != (has_read[idx] ? 1 : 0)) reader_overlaps.fetch_add(1);
          has_write[idx] = true;
          written.push_back(idx);
        } else if (!has_read[idx]) {
          readers[idx].fetch_add(1);
          has_read[idx] = true;
          read.push_back(idx);
          TxId w = writer[idx].load();
          if (w != 0 && w != tx) reader_overlaps.fetch_add(1);
        }
      }
      if (!failed) {
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 200));
        committed.fetch_add(1);
      }
      for (int idx : written) writer[idx].store(0);
      for (int idx : read) readers[idx].fetch_sub(1);
      lm.release_all(tx);
    }
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, 1000 + t);
  for (auto& t : threads) t.join();

  EXPECT_EQ(violations.load(), 0);
  EXPECT_EQ(reader_overlaps.load(), 0);
  EXPECT_EQ(committed + victims + timeouts, kThreads * kTxPerThread);
  EXPECT_GT(committed.load(), kThreads * kTxPerThread / 2);
  for (int idx = 0; idx < kNodes; ++idx) EXPECT_EQ(lm.holder(testing::node(idx + 1)), std::nullopt);
  std::printf("committed %d, deadlock victims %d, timeouts %d, reader overlaps %d\n", committed.load(),
              victims.load(), timeouts.load(), reader_overlaps.load());
}

}  // namespace
}  // namespace zudizid::lock_manager
