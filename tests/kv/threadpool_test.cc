// The process-wide IO pool and the one-shot completion slot.
#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <set>
#include <thread>

#include "common/oneshot.h"
#include "kv/threadpool/threadpool.h"

namespace kelm {
namespace {

std::set<std::string> thread_names() {
  std::set<std::string> names;
  DIR* d = opendir("/proc/self/task");
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    std::ifstream f(std::string("/proc/self/task/") + e->d_name + "/comm");
    std::string n;
    std::getline(f, n);
    names.insert(n);
  }
  closedir(d);
  return names;
}

template <class Pred>
bool eventually(Pred p) {
  for (int i = 0; i < 500; ++i) {
    if (p()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return p();
}

TEST(ThreadPool, PermanentThreadsAreNamedAndJobsReturnResults) {
  auto w = threadpool::spawn([] { return 7 * 6; });
  EXPECT_EQ(w.wait(), 42);
  for (int i = 0; i < 7; ++i)
    EXPECT_TRUE(eventually([&] { return thread_names().count("kelm-io-" + std::to_string(i)) == 1; })) << i;
  EXPECT_GE(threadpool::stats().next_thread_number, 7u);
}

TEST(ThreadPool, GrowsOnlyWhenEightJobsWaitOnABusyPool) {
  threadpool::ensure_started();
  std::atomic<bool> release{false};
  std::atomic<size_t> running{0};
  auto block = [&] {
    ++running;
    while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
  };
  std::vector<zudizid::common::OneShot<int>::Receiver> waits;
  // Occupy every thread the pool has.
  const size_t threads = threadpool::stats().total_threads;
  for (size_t i = 0; i < threads; ++i) waits.push_back(threadpool::spawn(block));
  ASSERT_TRUE(eventually([&] { return running.load() == threads; }));
  const size_t before = threadpool::stats().next_thread_number;

  for (int i = 0; i < 7; ++i) waits.push_back(threadpool::spawn([] { return 1; }));
  EXPECT_EQ(threadpool::stats().next_thread_number, before) << "7 queued jobs never start a thread";
  waits.push_back(threadpool::spawn([] { return 1; }));
  EXPECT_EQ(threadpool::stats().next_thread_number, before + 1);
  EXPECT_TRUE(eventually([&] { return thread_names().count("kelm-io-" + std::to_string(before)) == 1; }));

  release = true;
  for (auto& w : waits) EXPECT_TRUE(w.wait());
}

}  // namespace
}  // namespace kelm
