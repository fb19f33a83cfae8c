// What a transaction needs of the graph it runs on.
//
// The graph engine implements this on its shared state; a transaction keeps
// a shared reference for its whole life (its clone of the graph handle).
// Reads see committed data only.
//
// Commit ordering contract (submit_commit):
//   The host runs a commit's `validate` step (when present) while it holds
//   the exclusion that serialises commits (`commit_lock`), after every
//   commit that drew an earlier commit timestamp has been applied and
//   recorded its node commit timestamps, and immediately before it draws
//   this commit's timestamp. A write applier that groups commits must
//   therefore apply the commits gathered so far before it validates the next
//   one. When `validate` fails, nothing of the commit is logged or applied
//   and the failure is the commit's result. This keeps validation and
//   timestamp assignment atomic: no other commit can slip in between.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "lock_manager/lock_manager.h"
#include "transaction/active_transactions.h"
#include "transaction/commit_writes.h"
#include "transaction/types.h"
#include "wal/wal.h"

namespace zudizid::transaction {

// Runs the Serializable validation of one commit against the committed
// state; empty for the levels that are not validated.
using CommitValidator = std::function<DbResult<void>()>;

struct CommitRequest {
  CommitWrites writes;
  CommitValidator validate;
};

// Node existence (node id -> exists) implied by writes accepted for logging
// or applying but not applied yet.
using PendingNodes = std::unordered_map<NodeId, bool>;
// Notes what `writes` does to nodes: deletions first, then the written nodes.
void note_pending(const CommitWrites& writes, PendingNodes& pending);

class TransactionHost {
 public:
  virtual ~TransactionHost() = default;

  // The two logical clocks; begin and commit draw with one fetch-and-add.
  virtual std::atomic<std::uint64_t>& next_tx_id() = 0;
  virtual std::atomic<std::uint64_t>& next_timestamp() = 0;

  virtual ActiveTransactions& active_transactions() = 0;
  virtual lock_manager::LockManager& lock_manager() = 0;
  virtual wal::Wal& wal() = 0;

  // ---- committed state
  // The current record of a node; NodeNotFound when there is none.
  virtual DbResult<Node> get_node(const NodeId& id) = 0;
  // Current nodes whose label equals `label` byte for byte.
  virtual DbResult<std::vector<Node>> get_nodes_by_label(std::string_view label) = 0;
  // The node as of timestamp `t` (time travel over its versions).
  virtual DbResult<Node> get_node_version_at(const NodeId& id, std::uint64_t t) = 0;
  // Commit timestamp of the node's last committed write, if any.
  virtual std::optional<std::uint64_t> last_commit_timestamp(const NodeId& id) = 0;
  virtual DbResult<std::vector<Node>> scan_current_nodes() = 0;
  virtual DbResult<std::vector<NodeId>> lookup_property_index(std::string_view property,
                                                            const PropertyValue& value) = 0;
  // Ids that include every current node of `label` whose `property` equals
  // `value`, from a secondary index on (label, property) kept in step with
  // every write; none when there is no such index (callers then scan the
  // label). May list other nodes too: callers re-check the records.
  virtual std::optional<std::vector<NodeId>> indexed_node_ids(std::string_view /*label*/,
                                                              std::string_view /*property*/,
                                                              const PropertyValue& /*value*/) {
    return std::nullopt;
  }
  virtual DbResult<std::vector<Edge>> scan_edges() = 0;
  // The edge record; EdgeNotFound when there is none.
  virtual DbResult<Edge> get_edge(const EdgeId& id) = 0;

  // ---- commit
  // Logs and applies one commit in commit order (see the contract above) and
  // returns its result; blocks until then. The graph hands it to its write
  // applier, or applies it itself with commit_in_order when the applier has
  // ended.
  virtual DbResult<void> submit_commit(CommitRequest request) = 0;
  virtual DbResult<void> persist_clocks() = 0;

  // ---- the commit pipeline (transaction/commit_group.h)
  virtual std::mutex& commit_lock() = 0;
  // Applies a logged commit at commit timestamp `commit_ts` as new versions.
  virtual DbResult<void> apply_commit(const CommitWrites& writes, std::uint64_t commit_ts) = 0;
  // Refuses, before anything is logged, a commit that could not be applied
  // after the committed state plus `pending`. None by default.
  virtual DbResult<void> check_applicable(const CommitWrites& writes, const PendingNodes& pending) const {
    return {};
  }
  // The error that has ended every write, if any. None by default.
  virtual std::optional<DbError> write_stop() const { return std::nullopt; }
};

// Applies one commit on the calling thread through a CommitGroup of its own:
// under commit_lock, validate, draw the commit timestamp, append its log
// records with one append, apply, and persist the clocks. A failed
// validation or append is the result and leaves nothing applied. Once the
// append succeeded the commit is durable and succeeds: a failed apply is
// logged as an error, a failed clock persist as a warning.
DbResult<void> commit_in_order(TransactionHost& host, CommitRequest request);

}  // namespace zudizid::transaction
