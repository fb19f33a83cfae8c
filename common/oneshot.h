// A one-shot reply channel: one sender fills it at most once, one receiver
// waits for it. A sender dropped without sending wakes the receiver with
// nothing, so a waiter never hangs on a reply that cannot come.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace zudizid::common {

template <class T>
class OneShot {
  struct State {
    std::mutex mu;
    std::condition_variable cv;
    std::optional<T> value;  // guarded by mu
    bool done = false;       // guarded by mu
  };

 public:
  class Sender {
   public:
    Sender() = default;
    explicit Sender(std::shared_ptr<State> s) : s_(std::move(s)) {}
    Sender(Sender&&) noexcept = default;
    Sender& operator=(Sender&& o) noexcept {
      close();
      s_ = std::move(o.s_);
      return *this;
    }
    ~Sender() { close(); }

    void send(T value) {
      if (!s_) return;
      {
        std::lock_guard lock(s_->mu);
        if (!s_->done) {
          s_->value.emplace(std::move(value));
          s_->done = true;
        }
      }
      s_->cv.notify_all();
      s_.reset();
    }

   private:
    void close() {
      if (!s_) return;
      {
        std::lock_guard lock(s_->mu);
        s_->done = true;
      }
      s_->cv.notify_all();
      s_.reset();
    }
    std::shared_ptr<State> s_;
  };

  class Receiver {
   public:
    Receiver() = default;
    explicit Receiver(std::shared_ptr<State> s) : s_(std::move(s)) {}

    // Blocks until the value arrives or the sender is gone (nullopt).
    std::optional<T> wait() {
      std::unique_lock lock(s_->mu);
      s_->cv.wait(lock, [&] { return s_->done; });
      return std::move(s_->value);
    }

    // As wait(), but gives up after `timeout` (nullopt, and the channel stays usable).
    template <class Rep, class Period>
    std::optional<T> wait_for(std::chrono::duration<Rep, Period> timeout, bool* timed_out = nullptr) {
      std::unique_lock lock(s_->mu);
      bool ready = s_->cv.wait_for(lock, timeout, [&] { return s_->done; });
      if (timed_out) *timed_out = !ready;
      if (!ready) return std::nullopt;
      return std::move(s_->value);
    }

   private:
    std::shared_ptr<State> s_;
  };

  static std::pair<Sender, Receiver> make() {
    auto s = std::make_shared<State>();
    return {Sender(s), Receiver(s)};
  }
};

}  // namespace zudizid::common
