// The process-wide IO thread pool of the key-value engine.
//
// One FIFO queue served by seven permanent threads ("kelm-io-0" .. "kelm-io-6",
// started on first use) and, while at least 8 jobs wait and fewer than 7
// threads are idle, by temporary threads that end again once they have run 5
// jobs and then seen 8 or more idle threads on three consecutive passes.
// Threads are detached; the pool lives until the process ends and every open
// engine shares it. A job reports only through its own completion slot.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <type_traits>
#include <utility>

#include "common/oneshot.h"

namespace kelm::threadpool {

struct Job {
  virtual ~Job() = default;
  virtual void run() = 0;
};

// Queues a job; never fails.
void submit(std::unique_ptr<Job> job);

// Jobs of one owner, so the owner can wait until none of them is queued or
// running and none still holds what it captured (files, locks).
class JobGroup {
 public:
  void enter() {
    std::lock_guard lock(mu_);
    ++n_;
  }
  void leave() {
    std::lock_guard lock(mu_);
    if (--n_ == 0) cv_.notify_all();
  }
  void wait_idle() {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return n_ == 0; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  size_t n_ = 0;
};

// Runs work() on the pool; the returned slot receives its result. With a
// group, the job counts as the group's until its captures are destroyed.
template <class F>
auto spawn(F work, std::shared_ptr<JobGroup> group = nullptr) -> typename zudizid::common::OneShot<std::invoke_result_t<F&>>::Receiver {
  using R = std::invoke_result_t<F&>;
  auto [filler, waiter] = zudizid::common::OneShot<R>::make();
  struct Token {
    std::shared_ptr<JobGroup> group;
    explicit Token(std::shared_ptr<JobGroup> g) : group(std::move(g)) {
      if (group) group->enter();
    }
    ~Token() {
      if (group) group->leave();
    }
  };
  struct J final : Job {
    Token token;  // first member: destroyed last, after the captures
    F work;
    typename zudizid::common::OneShot<R>::Sender filler;
    J(std::shared_ptr<JobGroup> g, F w, typename zudizid::common::OneShot<R>::Sender f)
        : token(std::move(g)), work(std::move(w)), filler(std::move(f)) {}
    void run() override { filler.send(work()); }
  };
  submit(std::make_unique<J>(std::move(group), std::move(work), std::move(filler)));
  return std::move(waiter);
}

// Counters, for tests and diagnostics.
struct Stats {
  size_t total_threads;
  size_t idle_threads;
  size_t next_thread_number;
  size_t queued;
};
Stats stats();

// Starts the permanent threads if they are not running yet.
void ensure_started();

}  // namespace kelm::threadpool
