// Many submitters, many jobs, results through completion slots; run under
// ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "kv/threadpool/threadpool.h"

namespace kelm {
namespace {

TEST(ThreadPoolStress, ConcurrentSubmittersGetEveryResult) {
  constexpr int kThreads = 8, kJobs = 400;
  std::atomic<long> total{0};
  std::vector<std::thread> submitters;
  for (int t = 0; t < kThreads; ++t) {
    submitters.emplace_back([&, t] {
      std::vector<zudizid::common::OneShot<long>::Receiver> waits;
      for (int j = 0; j < kJobs; ++j) waits.push_back(threadpool::spawn([=] { return long(t) * kJobs + j; }));
      for (auto& w : waits) total += w.wait().value_or(-1'000'000);
      // Dropped waiters: the jobs still run.
      for (int j = 0; j < 50; ++j) (void)threadpool::spawn([] { return 0L; });
    });
  }
  for (auto& s : submitters) s.join();
  const long n = long(kThreads) * kJobs;
  EXPECT_EQ(total.load(), n * (n - 1) / 2);
}

}  // namespace
}  // namespace kelm
