// Community results that outlive a query: one slot for `community` and one
// for `leiden` per open graph, shared by every query on it.
//
// A slot holds at most one map, stamped with the change counter it was
// computed at; a reader takes a copy only while the stamp equals the counter
// it loaded before reading. Nothing clears a slot: a later store replaces a
// stale map. The slots live in a process-wide table keyed by the graph's
// identity and are dropped once the graph is gone (at the next lookup).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>

#include "algorithms/id_index.h"

namespace zudizid::graph {

class Graph;

class CommunitySlot {
 public:
  using Map = algorithms::NodeMap<uint64_t>;

  // A copy of the stored map when it was stamped `stamp`.
  std::optional<Map> load(uint64_t stamp) const;
  void store(Map map, uint64_t stamp);

 private:
  mutable std::shared_mutex mu_;
  std::optional<std::pair<Map, uint64_t>> held_;  // guarded by mu_
};

struct CommunitySlots {
  CommunitySlot community;
  CommunitySlot leiden;
};

// The slots of `graph` (created empty on first use).
std::shared_ptr<CommunitySlots> community_slots(const Graph& graph);

}  // namespace zudizid::graph
