// PathProfile: the counters PROFILE reports for a path query.
//
//   bindings_examined        paths the traversal produced
//   bindings_emitted         paths that passed the path query's WHERE
//   frontier_states_visited  search states expanded by quantified hops
//                            (each search's start state included)
//   cycle_prunes             edges a quantified hop skipped because the far
//                            node was already on its part of the path
//   max_depth_observed       deepest edge count a quantified hop reached
//
// The slot is absent while profiling is off; every update then does
// nothing. Its lock is held only for one update, never across a read.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "storage/property_value.h"

namespace zudizid::query::zql::executor {

struct PathProfile {
  uint64_t bindings_examined = 0;
  uint64_t bindings_emitted = 0;
  uint64_t frontier_states_visited = 0;
  uint64_t cycle_prunes = 0;
  uint64_t max_depth_observed = 0;

  // Takes the record out of the slot (leaving it absent) as an Object of
  // the five counters in the order above, each an Int; nullopt when the
  // slot was absent.
  static std::optional<PropertyValue> metrics(class PathProfileSlot& slot);
};

class PathProfileSlot {
 public:
  // Profiling on, all counters 0.
  void start() {
    std::lock_guard lock(mu_);
    profile_ = PathProfile{};
  }
  // Profiling off.
  void clear() {
    std::lock_guard lock(mu_);
    profile_.reset();
  }
  // Runs `update` on the record when profiling is on.
  template <class F>
  void update(F&& update) {
    std::lock_guard lock(mu_);
    if (profile_) update(*profile_);
  }
  std::optional<PathProfile> take() {
    std::lock_guard lock(mu_);
    return std::exchange(profile_, std::nullopt);
  }
  std::optional<PathProfile> peek() const {
    std::lock_guard lock(mu_);
    return profile_;
  }

 private:
  mutable std::mutex mu_;
  std::optional<PathProfile> profile_;
};

inline std::optional<PropertyValue> PathProfile::metrics(PathProfileSlot& slot) {
  auto p = slot.take();
  if (!p) return std::nullopt;
  auto i = [](uint64_t n) { return PropertyValue::integer(static_cast<int64_t>(n)); };
  return PropertyValue::object({{"bindings_examined", i(p->bindings_examined)},
                                {"bindings_emitted", i(p->bindings_emitted)},
                                {"frontier_states_visited", i(p->frontier_states_visited)},
                                {"cycle_prunes", i(p->cycle_prunes)},
                                {"max_depth_observed", i(p->max_depth_observed)}});
}

}  // namespace zudizid::query::zql::executor
