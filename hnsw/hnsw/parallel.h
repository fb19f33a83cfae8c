// The data-parallel pool of the index: calls f(i) for every i in [0, n) on
// the process-wide TBB pool and returns when all are done (the caller helps
// when it is a pool thread itself). The range is split into contiguous
// pieces; a piece runs its items in order on one thread.
//
// Under ThreadSanitizer the uninstrumented TBB runtime hides the hand-off of
// work between threads and produces false reports, so those builds run the
// items on plain threads instead, with the same contract.
#pragma once

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <thread>
#include <vector>

namespace vantor {

template <class F>
void parallel_for_each_index(size_t n, F&& f) {
  if (n == 0) return;
#if defined(__SANITIZE_THREAD__)
  size_t workers = std::min<size_t>(n, std::max(1u, std::thread::hardware_concurrency()));
  std::atomic<size_t> next{0};
  auto run = [&] {
    for (size_t i; (i = next.fetch_add(1)) < n;) f(i);
  };
  std::vector<std::thread> threads;
  for (size_t w = 1; w < workers; ++w) threads.emplace_back(run);
  run();
  for (auto& t : threads) t.join();
#else
  // Pieces small enough to balance the pool's threads, large enough to keep
  // task overhead negligible.
  size_t workers = static_cast<size_t>(std::max(1, tbb::this_task_arena::max_concurrency()));
  size_t grain = std::max<size_t>(1, n / (workers * 32));
  tbb::parallel_for(
      tbb::blocked_range<size_t>(0, n, grain),
      [&](const tbb::blocked_range<size_t>& r) {
        for (size_t i = r.begin(); i != r.end(); ++i) f(i);
      },
      tbb::simple_partitioner());
#endif
}

}  // namespace vantor
