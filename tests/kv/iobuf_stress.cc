// Concurrent writers, flushers and rollers on one log; every completed
// message must come back exactly once. Run under ThreadSanitizer.
#include <gtest/gtest.h>

#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <thread>

#include "tests/kv/log_test_util.h"

namespace kelm::pagecache {
namespace {

TEST(IoBufsStress, ConcurrentClaimsSealsAndFlushes) {
  testing::TempDir dir;
  auto config = testing::config_for(dir, 1024);
  auto log = testing::start_log(config);
  ASSERT_TRUE(log);
  constexpr int kThreads = 8, kPerThread = 400;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  std::mutex first_mu;
  std::string first;  // the first failure, for the report
  auto fail = [&](const char* what, const std::optional<Error>& e) {
    ++failures;
    std::lock_guard lock(first_mu);
    if (first.empty()) first = std::string(what) + ": " + (e ? e->display() : std::string("false"));
  };
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(t);
      for (int i = 0; i < kPerThread; ++i) {
        const PageId pid = 1000 + t * kPerThread + i;
        std::vector<uint8_t> body(rng() % 150, static_cast<uint8_t>(pid));
        if (rng() % 10 == 0) {
          // Cancelled messages are skipped by the reader.
          auto gone = log->reserve(LogKind::Replace, pid, body.size(), testing::fill_with(body));
          if (!gone) {
            fail("reserve", gone.error());
          } else if (auto a = gone->abort(); !a) {
            fail("abort", a.error());
          }
        }
        auto r = log->reserve(LogKind::Replace, pid, body.size(), testing::fill_with(body));
        if (!r) {
          fail("reserve", r.error());
          continue;
        }
        // Accounted before completion, as the page cache does: a completed
        // message's buffer may be written and its segment retired at once.
        if (auto a = testing::account(*log, pid, r->lsn(), r->pointer(), r->log_size()); !a) fail("account", a.error());
        if (auto done = r->complete(); !done) fail("complete", done.error());
        if (rng() % 50 == 0) {
          if (auto f = log->flush(); !f) fail("flush", f.error());
        }
        if (rng() % 70 == 0) {
          if (auto f = log->roll(); !f) fail("roll", f.error());
        }
      }
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_EQ(failures.load(), 0) << first;
  ASSERT_TRUE(log->flush());
  auto items = testing::scan_log(config);
  std::set<PageId> seen;
  for (const auto& item : items) EXPECT_TRUE(seen.insert(item.pid).second) << item.pid;
  EXPECT_EQ(seen.size(), size_t{kThreads} * kPerThread);
  log->shutdown();
}

}  // namespace
}  // namespace kelm::pagecache
