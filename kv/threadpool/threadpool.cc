#include "kv/threadpool/threadpool.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>

#include "common/io_error.h"
#include "common/log.h"
#include "common/thread_name.h"

namespace kelm::threadpool {

namespace {

constexpr const char* kTarget = "kelm::threadpool";
constexpr size_t kPermanent = 7;
constexpr size_t kGrowQueueLen = 8;
constexpr size_t kMaxThreads = 128;
constexpr size_t kMaxIdleForGrowth = 6;
constexpr size_t kExitIdle = 8;
constexpr size_t kExitMinJobs = 5;
constexpr size_t kExitOvershoots = 3;
constexpr size_t kStackSize = 2 * 1024 * 1024;

std::atomic<size_t> total_threads{0};
// Threads blocked waiting for a job. Busy threads are not counted, so the
// growth rule sees a small number exactly when the pool is saturated.
std::atomic<size_t> idle_threads{0};
std::atomic<bool> spawn_in_progress{false};
std::atomic<size_t> next_thread_number{0};
std::atomic<bool> spawn_warning_given{false};

struct Queue {
  std::mutex mu;
  std::condition_variable cv;
  std::deque<std::unique_ptr<Job>> jobs;
};

void spawn_new_thread(bool permanent);

Queue& queue() {
  static Queue* q = [] {
    auto* fresh = new Queue();  // never destroyed: detached threads use it until exit
    return fresh;
  }();
  static const bool started = [] {
    for (size_t i = 0; i < kPermanent; ++i) spawn_new_thread(true);
    return true;
  }();
  (void)started;
  return *q;
}

void run_job(std::unique_ptr<Job> job) { job->run(); }

void perform_work(bool permanent) {
  spawn_in_progress.store(false);
  Queue& q = queue();
  size_t performed = 0;
  size_t overshoots = 0;
  for (;;) {
    std::unique_ptr<Job> job;
    {
      std::unique_lock lock(q.mu);
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
      while (q.jobs.empty()) {
        idle_threads.fetch_add(1);
        auto st = q.cv.wait_until(lock, deadline);
        idle_threads.fetch_sub(1);
        if (st == std::cv_status::timeout) break;
      }
      if (!q.jobs.empty()) {
        job = std::move(q.jobs.front());
        q.jobs.pop_front();
      }
    }
    if (job) {
      run_job(std::move(job));
      ++performed;
    }
    for (;;) {
      {
        std::lock_guard lock(q.mu);
        if (q.jobs.empty()) break;
        job = std::move(q.jobs.front());
        q.jobs.pop_front();
      }
      run_job(std::move(job));
      ++performed;
    }
    if (idle_threads.load() >= kExitIdle)
      ++overshoots;
    else
      overshoots = 0;
    if (permanent || performed < kExitMinJobs || overshoots < kExitOvershoots) continue;
    total_threads.fetch_sub(1);
    return;
  }
}

struct ThreadArg {
  bool permanent;
  size_t number;
};

void* thread_main(void* raw) {
  std::unique_ptr<ThreadArg> arg(static_cast<ThreadArg*>(raw));
  zudizid::common::set_current_thread_name("kelm-io-" + std::to_string(arg->number));
  perform_work(arg->permanent);
  return nullptr;
}

void spawn_new_thread(bool permanent) {
  size_t n = next_thread_number.fetch_add(1);
  total_threads.fetch_add(1);
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, kStackSize);
  auto* arg = new ThreadArg{permanent, n};
  pthread_t tid;
  int rc = pthread_create(&tid, &attr, thread_main, arg);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    delete arg;
    spawn_in_progress.store(false);
    bool expected = false;
    if (spawn_warning_given.compare_exchange_strong(expected, true))
      ZLOG(Warn, kTarget, "Failed to dynamically increase the threadpool size: {}.",
           zudizid::common::IoError::from_os(rc).display());
  }
}

}  // namespace

void submit(std::unique_ptr<Job> job) {
  Queue& q = queue();
  size_t len;
  {
    std::lock_guard lock(q.mu);
    q.jobs.push_back(std::move(job));
    len = q.jobs.size();
  }
  q.cv.notify_all();
  if (len >= kGrowQueueLen && total_threads.load() < kMaxThreads && idle_threads.load() <= kMaxIdleForGrowth) {
    bool expected = false;
    if (spawn_in_progress.compare_exchange_strong(expected, true)) spawn_new_thread(false);
  }
}

Stats stats() {
  Queue& q = queue();
  size_t queued;
  {
    std::lock_guard lock(q.mu);
    queued = q.jobs.size();
  }
  return {total_threads.load(), idle_threads.load(), next_thread_number.load(), queued};
}

void ensure_started() { (void)queue(); }

}  // namespace kelm::threadpool
