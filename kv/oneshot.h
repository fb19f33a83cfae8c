// A one-shot completion slot: a filling half handed to a job and a waiting
// half kept by whoever wants the result.
//
// The filler fills at most once; dropping it unfilled completes the slot
// without a value, so a waiter never hangs on a job that was destroyed. The
// waiter either blocks (`wait`) or polls with a wake-up callback (`poll`).
// Dropping the waiter is allowed: the job still runs and fills a slot nobody
// reads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace kelm::oneshot {

template <class T>
struct State {
  std::mutex mu;
  std::condition_variable cv;
  std::function<void()> waker;
  std::optional<T> item;
  bool filled = false;

  void complete(std::optional<T> value) {
    std::function<void()> w;
    {
      std::lock_guard lock(mu);
      w = std::exchange(waker, nullptr);
      if (w) w();
      item = std::move(value);
      filled = true;
    }
    cv.notify_all();
  }
};

template <class T>
class Filler {
 public:
  explicit Filler(std::shared_ptr<State<T>> s) : s_(std::move(s)) {}
  Filler(Filler&&) noexcept = default;
  Filler& operator=(Filler&& o) noexcept {
    if (this != &o) {
      release();
      s_ = std::move(o.s_);
    }
    return *this;
  }
  ~Filler() { release(); }

  void fill(T value) {
    if (auto s = std::exchange(s_, nullptr)) s->complete(std::move(value));
  }

 private:
  void release() {
    if (auto s = std::exchange(s_, nullptr)) s->complete(std::nullopt);
  }
  std::shared_ptr<State<T>> s_;
};

template <class T>
class Waiter {
 public:
  explicit Waiter(std::shared_ptr<State<T>> s) : s_(std::move(s)) {}

  // Blocks until filled; nullopt when the filler was dropped unfilled.
  std::optional<T> wait() {
    std::unique_lock lock(s_->mu);
    while (!s_->filled) s_->cv.wait_for(lock, std::chrono::seconds(1));
    return std::move(s_->item);
  }

  // Ready: the outer optional holds the value (or nullopt if unfilled).
  // Pending: stores `waker` (replacing an earlier one) and returns nullopt.
  std::optional<std::optional<T>> poll(std::function<void()> waker) {
    std::lock_guard lock(s_->mu);
    if (s_->filled) return std::optional<std::optional<T>>(std::move(s_->item));
    s_->waker = std::move(waker);
    return std::nullopt;
  }

  bool is_filled() const {
    std::lock_guard lock(s_->mu);
    return s_->filled;
  }

 private:
  std::shared_ptr<State<T>> s_;
};

template <class T>
std::pair<Filler<T>, Waiter<T>> pair() {
  auto s = std::make_shared<State<T>>();
  return {Filler<T>(s), Waiter<T>(s)};
}

}  // namespace kelm::oneshot
