#include "common/runtime.h"

#include <sched.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "common/thread_name.h"

namespace zudizid::common {

// A queue of tasks served by threads. A fixed pool starts all its threads at
// once; an elastic pool starts a thread whenever a task finds none idle and
// retires threads that stay idle for `kIdleTimeout`.
struct Runtime::Pool {
  static constexpr auto kIdleTimeout = std::chrono::seconds(10);
  static constexpr size_t kMaxElastic = 512;

  std::mutex mu;
  std::condition_variable cv;
  std::deque<std::function<void()>> queue;  // guarded by mu
  size_t threads = 0;                       // guarded by mu
  size_t idle = 0;                          // guarded by mu
  bool elastic = false;

  void start_thread() {  // mu held
    ++threads;
    std::thread([this] { run(); }).detach();
  }

  void push(std::function<void()> task) {
    std::lock_guard lock(mu);
    queue.push_back(std::move(task));
    if (elastic && idle == 0 && threads < kMaxElastic) start_thread();
    cv.notify_one();
  }

  void run() {
    set_current_thread_name("zudizid-rt");
    std::unique_lock lock(mu);
    for (;;) {
      ++idle;
      bool have_work = elastic ? cv.wait_for(lock, kIdleTimeout, [&] { return !queue.empty(); })
                               : (cv.wait(lock, [&] { return !queue.empty(); }), true);
      --idle;
      if (!have_work) {
        --threads;
        return;
      }
      auto task = std::move(queue.front());
      queue.pop_front();
      lock.unlock();
      task();
      task = nullptr;  // drop captured state outside the lock
      lock.lock();
    }
  }
};

namespace {

std::atomic<Runtime*> g_runtime{nullptr};
std::once_flag g_once;

size_t available_cpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    int n = CPU_COUNT(&set);
    if (n > 0) return static_cast<size_t>(n);
  }
  unsigned n = std::thread::hardware_concurrency();
  return n ? n : 1;
}

}  // namespace

Runtime::Runtime() : workers_pool_(new Pool), blocking_pool_(new Pool), workers_(available_cpus()) {
  blocking_pool_->elastic = true;
  std::lock_guard lock(workers_pool_->mu);
  for (size_t i = 0; i < workers_; ++i) workers_pool_->start_thread();
}

Runtime& Runtime::get() {
  // The runtime lives for the rest of the process: its threads are detached
  // and must never see it destroyed.
  std::call_once(g_once, [] { g_runtime.store(new Runtime(), std::memory_order_release); });
  return *g_runtime.load(std::memory_order_acquire);
}

bool Runtime::started() { return g_runtime.load(std::memory_order_acquire) != nullptr; }

void Runtime::spawn(std::function<void()> task) { workers_pool_->push(std::move(task)); }

void Runtime::spawn_blocking(std::function<void()> task) { blocking_pool_->push(std::move(task)); }

}  // namespace zudizid::common
