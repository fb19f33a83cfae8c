// A four-byte reader-writer lock for the neighbour lists of one point.
//
// Held only for short, non-blocking sections (copying or editing one list),
// never while another point's lock is taken, so spinning with a yield is
// cheaper than a futex-based lock and keeps the point record small.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

namespace vantor {

class RwSpinLock {
 public:
  void lock_shared() {
    for (int spins = 0;; ++spins) {
      int32_t s = state_.load(std::memory_order_relaxed);
      if (s >= 0 && state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                                 std::memory_order_relaxed)) {
        return;
      }
      backoff(spins);
    }
  }
  void unlock_shared() { state_.fetch_sub(1, std::memory_order_release); }
  bool try_lock_shared() {
    int32_t s = state_.load(std::memory_order_relaxed);
    return s >= 0 && state_.compare_exchange_strong(s, s + 1, std::memory_order_acquire, std::memory_order_relaxed);
  }

  void lock() {
    for (int spins = 0;; ++spins) {
      int32_t expected = 0;
      if (state_.compare_exchange_weak(expected, -1, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
        return;
      }
      backoff(spins);
    }
  }
  void unlock() { state_.store(0, std::memory_order_release); }

 private:
  static void backoff(int spins) {
    if (spins < 64) {
#if defined(__x86_64__)
      __builtin_ia32_pause();
#endif
    } else {
      std::this_thread::yield();
    }
  }

  std::atomic<int32_t> state_{0};  // -1 writer, n >= 0 readers
};

}  // namespace vantor
