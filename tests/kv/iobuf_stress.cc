// Concurrent writers, flushers and rollers on one log; every completed
// message must come back exactly once. Run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <random>
#include <set>
#include <thread>

#include "tests/kv/log_test_util.h"

namespace kelm::pagecache {
namespace {

// Disabled: under load one operation occasionally fails (a race in the IO
// buffers that is still open); re-enable once it is found.
TEST(IoBufsStress, DISABLED_ConcurrentClaimsSealsAndFlushes) {
  testing::TempDir dir;
  auto config = testing::config_for(dir, 1024);
  auto log = testing::start_log(config);
  ASSERT_TRUE(log);
  constexpr int kThreads = 8, kPerThread = 400;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(t);
      for (int i = 0; i < kPerThread; ++i) {
        const PageId pid = 1000 + t * kPerThread + i;
        std::vector<uint8_t> body(rng() % 150, static_cast<uint8_t>(pid));
        if (rng() % 10 == 0) {
          // Cancelled messages are skipped by the reader.
          auto gone = log->reserve(LogKind::Replace, pid, body.size(), testing::fill_with(body));
          if (!gone || !gone->abort()) ++failures;
        }
        auto r = log->reserve(LogKind::Replace, pid, body.size(), testing::fill_with(body));
        if (!r) {
          ++failures;
          continue;
        }
        const uint64_t size = r->log_size();
        auto done = r->complete();
        if (!done || !testing::account(*log, pid, done->first, done->second, size)) ++failures;
        if (rng() % 50 == 0 && !log->flush()) ++failures;
        if (rng() % 70 == 0 && !log->roll()) ++failures;
      }
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_EQ(failures.load(), 0);
  ASSERT_TRUE(log->flush());
  auto items = testing::scan_log(config);
  std::set<PageId> seen;
  for (const auto& item : items) EXPECT_TRUE(seen.insert(item.pid).second) << item.pid;
  EXPECT_EQ(seen.size(), size_t{kThreads} * kPerThread);
  log->shutdown();
}

}  // namespace
}  // namespace kelm::pagecache
