// The log's error slot: the first background failure stops the log for good.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>

#include "kv/error.h"

namespace kelm::pagecache {

class ErrorSlot {
 public:
  // A copy (Error::clone) of the recorded error, if any.
  std::optional<Error> get() const {
    if (!set_.load(std::memory_order_acquire)) return std::nullopt;
    std::lock_guard lock(mu_);
    return err_ ? std::optional<Error>(err_->clone()) : std::nullopt;
  }
  bool is_set() const { return set_.load(std::memory_order_acquire); }
  // Records `e` only when nothing is recorded yet.
  void set(const Error& e) {
    std::lock_guard lock(mu_);
    if (err_) return;
    err_ = e;
    set_.store(true, std::memory_order_release);
  }

 private:
  std::atomic<bool> set_{false};
  mutable std::mutex mu_;
  std::optional<Error> err_;
};

}  // namespace kelm::pagecache
