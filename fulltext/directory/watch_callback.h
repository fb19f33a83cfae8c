// Change notifications for meta.json. A WatchCallback stays registered while
// some WatchHandle to it lives; WatchCallbackList keeps weak references and
// drops dead ones at the next broadcast.
#pragma once

#include <functional>
#include <memory>
#include <shared_mutex>
#include <vector>

#include "fulltext/directory/future_result.h"

namespace fendral {

using WatchCallback = std::function<void()>;

class WatchHandle {
 public:
  WatchHandle() = default;
  explicit WatchHandle(std::shared_ptr<WatchCallback> cb) : cb_(std::move(cb)) {}

 private:
  std::shared_ptr<WatchCallback> cb_;
};

class WatchCallbackList {
 public:
  WatchHandle subscribe(WatchCallback callback);
  // Calls every live callback, in list order, on a new "watch-callbacks"
  // thread; returns at once. With no live callback it completes at once. A
  // callback that throws ends its broadcast: wait() then gives SystemError
  // "One of the callback panicked.".
  FutureResult<void> broadcast();

  size_t entries_for_test() const;

 private:
  mutable std::shared_mutex mu_;
  std::vector<std::weak_ptr<WatchCallback>> callbacks_;
};

}  // namespace fendral
