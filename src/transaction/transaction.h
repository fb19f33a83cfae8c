// A transaction: buffered node and edge writes of one caller, reads whose
// visibility depends on the isolation level, and the bookkeeping that a
// Serializable commit validates.
//
// Owned by one caller at a time (std::unique_ptr); commit and rollback_async
// consume it. Destroying a transaction that is still active rolls it back in
// memory: it leaves the registry and releases its node locks, but writes
// nothing to the log.
//
// Node locks are taken only at Serializable: Write by add_node, Read by
// get_node, Write on deleted nodes at commit. They are held until commit,
// rollback or destruction.
#pragma once

#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "transaction/isolation_level.h"
#include "transaction/scan_record.h"
#include "transaction/transaction_host.h"
#include "transaction/types.h"

namespace zudizid::transaction {

// The read and write bookkeeping of a transaction. Shared with the commit's
// validation step, which may run on the write applier's thread while the
// owner waits for the reply. Each member has its own reader-writer lock;
// validation takes them in the order read_set, write_set, scan_records.
struct ReadTracking {
  mutable std::shared_mutex read_mu;
  NodeIdSet read_set;
  mutable std::shared_mutex write_mu;
  NodeIdSet write_set;
  mutable std::shared_mutex scan_mu;
  std::vector<ScanRecord> scan_records;
};

// Current nodes with `label` whose `property` equals `value` (PropertyValue
// equality), in the order the graph lists the label's nodes.
DbResult<std::vector<Node>> committed_nodes_by_property(TransactionHost& host, std::string_view label,
                                                      std::string_view property, const PropertyValue& value);

class Transaction {
 public:
  // Draws the transaction id, then the start timestamp, and registers the
  // transaction as active. Isolation starts at ReadCommitted.
  static std::unique_ptr<Transaction> begin(std::shared_ptr<TransactionHost> host);

  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;

  std::uint64_t tx_id() const { return tx_id_; }
  std::uint64_t start_timestamp() const { return start_timestamp_; }
  IsolationLevel isolation() const { return isolation_; }
  void set_isolation(IsolationLevel level) { isolation_ = level; }
  TransactionState state() const { return state_; }

  // ---- writes (buffered until commit)
  // At Serializable takes a Write lock on the node first; a lock failure is
  // returned unchanged and records nothing.
  DbResult<void> add_node(Node node);
  // Takes no lock; the endpoints are not looked up.
  DbResult<void> add_edge(Edge edge);
  // Mark an id deleted and drop a buffered write of it. On a transaction that
  // is not active they change nothing and report TransactionNotActive.
  DbResult<void> delete_node(const NodeId& id);
  DbResult<void> delete_edge(const EdgeId& id);

  // ---- reads
  // Nodes with `label` whose `property` equals `value`. ReadUncommitted and
  // ReadCommitted read the committed state now. RepeatableRead and
  // Serializable evaluate over the id set of the first such read in this
  // transaction, reading each node as of the start timestamp (or as this
  // transaction wrote it).
  DbResult<std::vector<Node>> find_nodes_by_property(std::string_view label, std::string_view property,
                                                   const PropertyValue& value);
  // One node as this transaction sees it. At Serializable takes a Read lock.
  DbResult<Node> get_node(const NodeId& id);
  // The committed-state query behind find_nodes_by_property; records nothing.
  DbResult<std::vector<Node>> get_nodes_by_property(std::string_view label, std::string_view property,
                                                  const PropertyValue& value);
  // Records a set-valued read for the phantom test of a Serializable commit.
  void record_scan(ScanRecord record);

  // ---- end
  // Validates (Serializable), logs and applies the buffered writes through
  // the host, then releases the node locks. On any failure after the state
  // test the locks are released and the transaction is rolled back.
  static DbResult<void> commit(std::unique_ptr<Transaction> tx);
  // Writes an Abort record, discards the writes, releases the node locks and
  // persists the clocks. Log and clock failures are only warned about.
  static DbResult<void> rollback_async(std::unique_ptr<Transaction> tx);
  // Discards the writes and releases the node locks without touching the log.
  void rollback();
  // The same for a transaction handed over whole: fails with
  // TransactionNotActive when it is not active; logs start and end.
  static DbResult<void> rollback_sync(std::unique_ptr<Transaction> tx);

  // ---- inspection
  const std::unordered_map<NodeId, Node>& buffered_nodes() const { return buffered_nodes_; }
  const std::unordered_map<EdgeId, Edge>& buffered_edges() const { return buffered_edges_; }
  const NodeIdSet& deleted_nodes() const { return deleted_nodes_; }
  const std::unordered_set<EdgeId>& deleted_edges() const { return deleted_edges_; }
  const std::shared_ptr<ReadTracking>& tracking() const { return tracking_; }

 private:
  Transaction(std::shared_ptr<TransactionHost> host, std::uint64_t tx_id, std::uint64_t start_timestamp);

  DbResult<void> commit_inner();
  // Leaves the registry and releases every node lock.
  void end_in_memory();
  void clear_writes();

  std::shared_ptr<TransactionHost> host_;
  std::uint64_t tx_id_;
  std::uint64_t start_timestamp_;
  IsolationLevel isolation_ = IsolationLevel::ReadCommitted;
  TransactionState state_ = TransactionState::Active;
  std::unordered_map<NodeId, Node> buffered_nodes_;
  std::unordered_map<EdgeId, Edge> buffered_edges_;
  NodeIdSet deleted_nodes_;
  std::unordered_set<EdgeId> deleted_edges_;
  std::shared_ptr<ReadTracking> tracking_ = std::make_shared<ReadTracking>();
};

}  // namespace zudizid::transaction
