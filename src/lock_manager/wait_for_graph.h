// Wait-for graph between transactions, maintained by the waiters themselves.
//
// An edge a -> b means "a waits for a lock that b holds". Each transaction's
// list keeps insertion order and may repeat a target (one entry per attempt
// that saw the same holder). Invariant: an entry exists only while its list is
// non-empty. Not thread-safe: the lock manager guards it with its own mutex.
#pragma once

#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "lock_manager/lock_types.h"

namespace zudizid::lock_manager {

class WaitForGraph {
 public:
  void add_edge(TxId waiter, TxId holder);

  // Removes every occurrence of `holder` from the waiter's list; drops the
  // list when it becomes empty.
  void remove_edge(TxId waiter, TxId holder);

  // Removes t's own list and every occurrence of t in other lists, then every
  // list left empty.
  void remove_all_edges(TxId t);

  // Searches the whole graph (one visited set for the whole search) and
  // returns the members of the first cycle found, in wait order starting at
  // the transaction where the search re-entered its own path. Empty when the
  // graph is acyclic.
  std::vector<TxId> find_cycle() const;

  // Depth-first search from `start`; returns true on reaching a transaction
  // that is on the current path. `visited` and `on_path` carry over between
  // calls of one whole-graph search. When a cycle is found and `cycle` is not
  // null it receives the cycle's members.
  bool has_cycle(TxId start, std::unordered_set<TxId>& visited, std::unordered_set<TxId>& on_path,
                 std::vector<TxId>* cycle = nullptr) const;

  bool waits(TxId t) const { return edges_.contains(t); }
  const std::vector<TxId>* waits_for(TxId t) const;
  bool empty() const { return edges_.empty(); }

 private:
  std::unordered_map<TxId, std::vector<TxId>> edges_;
};

}  // namespace zudizid::lock_manager
