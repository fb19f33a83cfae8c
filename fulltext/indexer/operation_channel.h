// A bounded multi-producer, multi-consumer queue of add operations. close()
// ends it: receivers drain what is queued, then get nothing; senders fail.
//
// Wake-ups are what this queue costs: the workers usually keep it full, and
// waking the sender for every freed slot would switch threads once a
// document. A sender that finds the queue full therefore sleeps until an
// eighth of it has drained, and nobody is signalled unless someone waits.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

#include "fulltext/indexer/segment_writer.h"

namespace fendral::indexer {

class OperationChannel {
 public:
  explicit OperationChannel(size_t capacity)
      : capacity_(capacity), low_water_(capacity - std::max<size_t>(1, capacity / 8)) {}

  // Waits while the queue is full; false once closed.
  bool send(AddOperation op) {
    std::unique_lock lock(mu_);
    if (!closed_ && queue_.size() >= capacity_) {
      ++senders_waiting_;
      not_full_.wait(lock, [&] { return closed_ || queue_.size() <= low_water_; });
      --senders_waiting_;
    }
    if (closed_) return false;
    queue_.push_back(std::move(op));
    bool wake = receivers_waiting_ > 0;
    lock.unlock();
    if (wake) not_empty_.notify_one();
    return true;
  }
  // The next operation; nothing once closed and drained.
  std::optional<AddOperation> recv() {
    std::unique_lock lock(mu_);
    if (queue_.empty() && !closed_) {
      ++receivers_waiting_;
      not_empty_.wait(lock, [&] { return closed_ || !queue_.empty(); });
      --receivers_waiting_;
    }
    if (queue_.empty()) return std::nullopt;
    AddOperation op = std::move(queue_.front());
    queue_.pop_front();
    bool wake = senders_waiting_ > 0 && queue_.size() == low_water_;
    lock.unlock();
    if (wake) not_full_.notify_all();
    return op;
  }
  void close() {
    {
      std::lock_guard lock(mu_);
      closed_ = true;
    }
    not_empty_.notify_all();
    not_full_.notify_all();
  }

 private:
  size_t capacity_;
  size_t low_water_;  // a waiting sender resumes at this length
  std::mutex mu_;
  std::condition_variable not_empty_, not_full_;
  std::deque<AddOperation> queue_;
  size_t senders_waiting_ = 0;
  size_t receivers_waiting_ = 0;
  bool closed_ = false;
};

}  // namespace fendral::indexer
