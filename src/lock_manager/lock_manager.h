// Node-level Read/Write locks with deadlock detection.
//
// One lock manager serves an open database. Read locks are shared and every
// reader is recorded; a Write lock excludes every other transaction, so an
// upgrade from Read to Write waits for the other readers to leave. A
// conflicting request waits in
// slices of at most `retry_slice` for the holder's release, retrying after
// each slice, until it gets the lock, until more than `timeout` has passed
// since the call (checked at the start of every attempt, so an acquire lasts
// at most about timeout + one slice), or until it finds itself the victim of
// a deadlock in the wait-for graph. All locks of a transaction go together
// in release_all.
//
// Lock order: the lock table's mutex before the wait-for graph's mutex.
// acquire never holds both; release_all holds both (table first). No mutex
// is held while a waiter sleeps.
#pragma once

#include <chrono>
#include <expected>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "lock_manager/lock_types.h"
#include "storage/db_error.h"
#include "lock_manager/notifier.h"
#include "lock_manager/wait_for_graph.h"

namespace zudizid::lock_manager {

struct LockManagerOptions {
  std::chrono::milliseconds timeout{5000};
  std::chrono::milliseconds retry_slice{500};
};

class LockManager {
 public:
  LockManager() = default;
  explicit LockManager(LockManagerOptions options) : options_(options) {}
  LockManager(const LockManager&) = delete;
  LockManager& operator=(const LockManager&) = delete;

  // Blocks while the node is held in an incompatible mode by another
  // transaction. Fails with a Deadlock error when `tx` is chosen as the victim
  // of a wait-for cycle, or with a Concurrency error after the time-out. A
  // failure leaves locks already held by `tx` in place.
  DbResult<void> acquire(TxId tx, const NodeId& node, LockMode mode);

  // Releases every entry held by `tx`, wakes their waiters and removes `tx`
  // from the wait-for graph. Never fails.
  void release_all(TxId tx);

  // The first recorded holder of a node and its mode (tests and diagnostics).
  std::optional<std::pair<TxId, LockMode>> holder(const NodeId& node) const;
  // Whether `tx` currently has outgoing wait-for edges.
  bool is_waiting(TxId tx) const;

  const LockManagerOptions& options() const { return options_; }

 private:
  // Invariant: `holders` is non-empty, in grant order, without repeats; a
  // Write entry has exactly one holder.
  struct Entry {
    LockMode mode;
    std::vector<TxId> holders;
    std::shared_ptr<Notifier> released;
  };

  LockManagerOptions options_;
  mutable std::mutex table_mu_;
  std::unordered_map<NodeId, Entry> table_;
  // Nodes whose entry lists the transaction as a holder, so that release_all
  // visits only its own entries. Guarded by table_mu_.
  std::unordered_map<TxId, std::vector<NodeId>> held_;
  mutable std::mutex graph_mu_;
  WaitForGraph graph_;
};

}  // namespace zudizid::lock_manager
