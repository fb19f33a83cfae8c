// Epoch-based memory reclamation for the engine's lock-free structures.
//
// `kelm::pin()` pins the calling thread in the current global epoch and
// returns a Guard. Anything retired while some thread is pinned is freed only
// after every thread pinned at that moment has unpinned: a record loaded
// under a guard stays readable until that guard is dropped.
//
// Design: a global epoch counter, one slot per thread holding the epoch it is
// pinned in (or "not pinned"), and per-thread retire lists tagged with the
// epoch of retirement. A retired item may be freed once the global epoch is
// two ahead of its tag; the global epoch only advances when every pinned
// thread has observed the current one. Guards nest on one thread (the
// outermost pin/unpin counts). A thread that exits hands its leftover retire
// list to a global orphan list.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "kv/pagecache/disk_ptr.h"

namespace kelm {

class Guard {
 public:
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
  Guard(Guard&& other) noexcept : active_(other.active_) { other.active_ = false; }
  ~Guard();

  // Runs `task` once every thread pinned now has unpinned (at once when this
  // guard is unprotected).
  void defer(std::function<void()> task) const;

  // Frees `p` with `delete` at the same point.
  template <class T>
  void retire(T* p) const {
    if (p == nullptr) return;
    defer_raw(p, [](void* q) { delete static_cast<T*>(q); });
  }

  // Page ids the write path touched (appended by the tree, read by nothing).
  mutable std::vector<PageId> writes;

  // Tries to advance the epoch and free what became safe. Tests call this to
  // drain retire lists.
  static void flush_thread();

 private:
  friend Guard pin();
  friend Guard unprotected();
  explicit Guard(bool active) : active_(active) {}
  void defer_raw(void* p, void (*del)(void*)) const;
  bool active_;
};

Guard pin();
// A guard that protects nothing: retire and defer take effect at once. Only
// for code that owns everything it touches (start-up, teardown).
Guard unprotected();

}  // namespace kelm
