#include "graph/applier/applier_queue.h"

namespace zudizid::graph::applier {

std::optional<ApplierMessage> ApplierQueue::send(ApplierMessage message) {
  std::unique_lock lock(mu_);
  not_full_.wait(lock, [&] { return receiver_closed_ || queue_.size() < kQueueCapacity; });
  if (receiver_closed_) return std::optional<ApplierMessage>(std::move(message));
  queue_.push_back(std::move(message));
  lock.unlock();
  not_empty_.notify_one();
  return std::nullopt;
}

std::vector<ApplierMessage> ApplierQueue::receive_batch(size_t max) {
  std::vector<ApplierMessage> batch;
  std::unique_lock lock(mu_);
  not_empty_.wait(lock, [&] { return (!queue_.empty() && !paused_) || senders_ == 0; });
  if (queue_.empty()) return batch;  // closed and drained
  while (!queue_.empty() && batch.size() < max) {
    batch.push_back(std::move(queue_.front()));
    queue_.pop_front();
  }
  lock.unlock();
  not_full_.notify_all();
  return batch;
}

size_t ApplierQueue::queued() const {
  std::lock_guard lock(mu_);
  return queue_.size();
}

void ApplierQueue::add_sender() {
  std::lock_guard lock(mu_);
  ++senders_;
}

void ApplierQueue::drop_sender() {
  {
    std::lock_guard lock(mu_);
    --senders_;
  }
  not_empty_.notify_all();
}

void ApplierQueue::close_receiver() {
  {
    std::lock_guard lock(mu_);
    receiver_closed_ = true;
  }
  not_full_.notify_all();
  closed_.notify_all();
}

bool ApplierQueue::receiver_closed() const {
  std::lock_guard lock(mu_);
  return receiver_closed_;
}

bool ApplierQueue::wait_receiver_closed(std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mu_);
  return closed_.wait_for(lock, timeout, [&] { return receiver_closed_; });
}

void ApplierQueue::pause() {
  std::lock_guard lock(mu_);
  paused_ = true;
}

void ApplierQueue::resume() {
  {
    std::lock_guard lock(mu_);
    paused_ = false;
  }
  not_empty_.notify_all();
}

std::optional<DbError> ApplierQueue::write_stop() const {
  std::lock_guard lock(mu_);
  return stop_;
}

void ApplierQueue::stop_writes(const DbError& cause) {
  std::lock_guard lock(mu_);
  if (!stop_) stop_ = cause;
}

void ApplierQueue::set_thread(std::thread thread) {
  std::lock_guard lock(thread_mu_);
  thread_ = std::move(thread);
}

void ApplierQueue::join_thread() {
  std::thread thread;
  {
    std::lock_guard lock(thread_mu_);
    thread = std::move(thread_);
  }
  if (!thread.joinable()) return;
  if (thread.get_id() == std::this_thread::get_id()) {
    thread.detach();
  } else {
    thread.join();
  }
}

}  // namespace zudizid::graph::applier
