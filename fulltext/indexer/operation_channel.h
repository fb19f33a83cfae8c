// A bounded multi-producer, multi-consumer queue of add operations. close()
// ends it: receivers drain what is queued, then get nothing; senders fail.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <optional>

#include "fulltext/indexer/segment_writer.h"

namespace fendral::indexer {

class OperationChannel {
 public:
  explicit OperationChannel(size_t capacity) : capacity_(capacity) {}

  // Waits while the queue is full; false once closed.
  bool send(AddOperation op) {
    std::unique_lock lock(mu_);
    not_full_.wait(lock, [&] { return closed_ || queue_.size() < capacity_; });
    if (closed_) return false;
    queue_.push_back(std::move(op));
    not_empty_.notify_one();
    return true;
  }
  // The next operation; nothing once closed and drained.
  std::optional<AddOperation> recv() {
    std::unique_lock lock(mu_);
    not_empty_.wait(lock, [&] { return closed_ || !queue_.empty(); });
    if (queue_.empty()) return std::nullopt;
    AddOperation op = std::move(queue_.front());
    queue_.pop_front();
    not_full_.notify_one();
    return op;
  }
  void close() {
    std::lock_guard lock(mu_);
    closed_ = true;
    not_empty_.notify_all();
    not_full_.notify_all();
  }

 private:
  size_t capacity_;
  std::mutex mu_;
  std::condition_variable not_empty_, not_full_;
  std::deque<AddOperation> queue_;
  bool closed_ = false;
};

}  // namespace fendral::indexer
