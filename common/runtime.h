// The process-wide runtime.
//
// A lazily started pool of worker threads plus a blocking pool, all named
// "zudizid-rt". Nothing starts at import: the first call to `Runtime::get()`
// builds it, and it is never shut down. Engine calls made from Python run to
// completion on the calling thread (with the interpreter lock released) after
// making sure the runtime exists -- see `block_on`; background work (write
// appliers, index builds, algorithms) is handed to `spawn`/`spawn_blocking`.
#pragma once

#include <cstddef>
#include <functional>
#include <utility>

namespace zudizid::common {

class Runtime {
 public:
  // Builds the runtime on first use (thread-safe); never returns null.
  static Runtime& get();
  // Whether the runtime has been built; tests only.
  static bool started();

  // Runs `task` on a worker thread.
  void spawn(std::function<void()> task);
  // Runs `task` on the blocking pool, which grows while every thread is busy
  // and lets idle threads go after a while.
  void spawn_blocking(std::function<void()> task);

  size_t worker_count() const { return workers_; }

 private:
  Runtime();
  struct Pool;
  Pool* workers_pool_;
  Pool* blocking_pool_;
  size_t workers_;
};

// Runs `body` to completion on the calling thread, building the runtime first
// if this is the first call that needs it.
template <class F>
decltype(auto) block_on(F&& body) {
  Runtime::get();
  return std::forward<F>(body)();
}

}  // namespace zudizid::common
