#include "fulltext/directory/watch_callback.h"

#include <fmt/format.h>

#include <mutex>
#include <system_error>
#include <thread>

#include "common/log.h"
#include "common/thread_name.h"

namespace fendral {

WatchHandle WatchCallbackList::subscribe(WatchCallback callback) {
  auto cell = std::make_shared<WatchCallback>(std::move(callback));
  std::unique_lock lock(mu_);
  callbacks_.push_back(cell);
  return WatchHandle(std::move(cell));
}

size_t WatchCallbackList::entries_for_test() const {
  std::shared_lock lock(mu_);
  return callbacks_.size();
}

FutureResult<void> WatchCallbackList::broadcast() {
  std::vector<std::shared_ptr<WatchCallback>> to_run;
  {
    std::unique_lock lock(mu_);
    size_t i = 0;
    while (i < callbacks_.size()) {
      if (auto cb = callbacks_[i].lock()) {
        to_run.push_back(std::move(cb));
        ++i;
      } else {
        callbacks_[i] = std::move(callbacks_.back());
        callbacks_.pop_back();
      }
    }
  }
  auto [sender, result] = FutureResult<void>::create("One of the callback panicked.");
  if (to_run.empty()) {
    sender.send(Result<void>());
    return std::move(result);
  }
  try {
    std::thread([callbacks = std::move(to_run), tx = std::move(sender)]() mutable {
      zudizid::common::set_current_thread_name("watch-callbacks");
      try {
        for (const auto& cb : callbacks) (*cb)();
      } catch (...) {
        callbacks.clear();
        return;  // the sender is dropped unsent: the waiter sees the failure
      }
      // Release the callbacks before replying: a waiter that then drops its
      // last WatchHandle must see the registration end.
      callbacks.clear();
      tx.send(Result<void>());
    }).detach();
  } catch (const std::system_error& e) {
    ZLOG(Error, "fendral::directory::watch_event_router", "Failed to spawn thread to call watch callbacks. Cause: {}",
         debug_quote(e.what()));
  }
  return std::move(result);
}

}  // namespace fendral
