// Release signal of one lock-table entry.
//
// A holder signals it once, when it releases the entry; every thread waiting
// on it then wakes. The signal is sticky: a waiter that starts waiting after
// the release returns at once instead of sleeping out its retry slice.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace zudizid::lock_manager {

class Notifier {
 public:
  void notify_all() {
    {
      std::lock_guard lock(mu_);
      signalled_ = true;
    }
    cv_.notify_all();
  }

  // Waits until signalled or until `timeout` has passed; true when signalled.
  bool wait_for(std::chrono::nanoseconds timeout) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, timeout, [&] { return signalled_; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool signalled_ = false;
};

}  // namespace zudizid::lock_manager
