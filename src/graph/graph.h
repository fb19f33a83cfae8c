// Graph: the shared handle of one open database.
//
// A plain value of shared members; copying it (`clone`) shares every member,
// so all copies see one state. Members, in construction order:
//    0 storage                 the stored records (storage::Storage)
//    1 outgoing_adjacency      node id -> ids of edges whose source it is
//    2 incoming_adjacency      node id -> ids of edges whose target it is
//    3 next_tx_id              logical clock of transaction ids
//    4 next_timestamp          logical clock of start and commit timestamps
//    5 node_commit_timestamps  node id -> timestamp of its last applied write
//    6 lock_manager
//    7 schema_cache
//    8 wal                     the write-ahead log
//    9 index_manager           secondary indexes (may be absent in tests)
//   10 aux_counter_a           spare slots: carried by every copy, unused
//   11 aux_counter_b
//   12 aux_slot
//   13 storage_write_lock      serialises every writer of stored graph data
//                              (the write applier's batches, own application,
//                              adjacency flushes)
//   14 applier                 sending side of the write-applier queue
//   15 active_transactions
//   16 graph_version           raised by every applied mutation
//   17 community_cache         last whole-graph community detection result,
//   18 leiden_cache            stamped with the graph_version it was computed at
//   19 embedding_indexes       per-model nearest-neighbour index cache
//
// Lock order on the write path: storage_write_lock, then the log's file and
// position locks (inside Wal::append_batch), then outgoing_adjacency, then
// incoming_adjacency. Nobody waits for the applier's reply while holding any
// of these: the applier takes them all.
//
// Writes after a durable commit failed to apply: the commit is reported as
// committed (its log records redo it at the next open) and the graph stops
// accepting writes; every later write fails with that error.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/oneshot.h"
#include "graph/write_op.h"
#include "index/index_manager.h"
#include "index/record_source.h"
#include "lock_manager/lock_manager.h"
#include "schema/schema_cache.h"
#include "storage/storage.h"
#include "transaction/transaction_host.h"
#include "wal/wal.h"

namespace zudizid::graph {

namespace applier {
class Sender;
}
class EmbeddingIndexCache;

using storage::AdjacencyMap;

// A map behind a reader-writer lock.
template <class Map>
struct Locked {
  mutable std::shared_mutex mu;
  Map map;
};

using AdjacencyLock = Locked<AdjacencyMap>;
using CommitTimestamps = Locked<std::unordered_map<Uuid, uint64_t>>;

// A value behind a mutex.
template <class T>
struct Guarded {
  std::mutex mu;
  T value{};
};

using AuxCounter = Guarded<uint64_t>;
using AuxSlot = Locked<std::optional<uint64_t>>;

// A community detection result (node id -> community id), valid while the
// graph's version equals the one it was computed at.
struct CommunityResult {
  std::unordered_map<Uuid, uint64_t> communities;
  uint64_t graph_version = 0;
};
using CommunityCache = Locked<std::optional<CommunityResult>>;

// What a handle is built from (by graph open, or by tests).
struct GraphParts {
  std::shared_ptr<storage::Storage> storage;
  std::shared_ptr<wal::Wal> wal;
  std::shared_ptr<index::IndexManager> index_manager;  // optional
  storage::Adjacency adjacency;
  uint64_t next_tx_id = 1;
  uint64_t next_timestamp = 1;
  lock_manager::LockManagerOptions lock_options;
  // Without it, every writer applies its own writes under storage_write_lock.
  bool start_applier = true;
};

class Graph final : public transaction::TransactionHost, public index::RecordSource {
 public:
  // Builds the members in order and starts the write applier.
  static Graph build(GraphParts parts);

  Graph(const Graph&) = default;
  Graph& operator=(const Graph&) = default;
  Graph(Graph&&) = default;
  Graph& operator=(Graph&&) = default;
  ~Graph() override = default;
  Graph clone() const { return *this; }

  // ---- members
  const std::shared_ptr<storage::Storage>& storage() const { return storage_; }
  AdjacencyLock& outgoing_adjacency() const { return *outgoing_adjacency_; }
  AdjacencyLock& incoming_adjacency() const { return *incoming_adjacency_; }
  CommitTimestamps& node_commit_timestamps() const { return *node_commit_timestamps_; }
  schema::SchemaCache& schema_cache() const { return *schema_cache_; }
  index::IndexManager* index_manager() const { return index_manager_.get(); }
  std::mutex& storage_write_lock() const { return *storage_write_lock_; }
  const std::shared_ptr<applier::Sender>& applier() const { return applier_; }
  std::atomic<uint64_t>& graph_version() const { return *graph_version_; }
  AuxCounter& aux_counter_a() const { return *aux_counter_a_; }
  AuxCounter& aux_counter_b() const { return *aux_counter_b_; }
  AuxSlot& aux_slot() const { return *aux_slot_; }
  CommunityCache& community_cache() const { return *community_cache_; }
  CommunityCache& leiden_cache() const { return *leiden_cache_; }
  EmbeddingIndexCache& embedding_indexes() const { return *embedding_indexes_; }

  // ---- reads
  DbResult<std::vector<Edge>> get_outgoing_edges(const Uuid& id) const;
  DbResult<std::vector<Edge>> get_incoming_edges(const Uuid& id) const;

  // ---- single writes (through the applier)
  DbResult<void> submit_write(WriteOp op);
  // A single write in flight: send several, then wait for each, to keep the
  // applier busy (its replies come in the order the writes were sent).
  class PendingWrite {
   public:
    DbResult<void> wait();

   private:
    friend class Graph;
    std::optional<DbResult<void>> ready_;
    std::optional<common::OneShot<DbResult<void>>::Receiver> reply_;
  };
  PendingWrite send_write(WriteOp op);
  DbResult<void> unindex_property(std::string_view property, const PropertyValue& value, const Uuid& node);

  // ---- applying writes; callers hold storage_write_lock
  DbResult<void> apply_write_op(const WriteOp& op);
  // Applies a commit whose records are durable; returns a storage failure.
  DbResult<void> apply_commit_writes(const transaction::CommitWrites& w, uint64_t commit_ts);
  // Applies a durable commit: a failure stops the graph's writes (logged),
  // and the commit still counts as committed.
  void apply_durable_commit(const transaction::CommitWrites& w, uint64_t commit_ts);
  DbResult<Uuid> apply_put_node(const Node& node, bool skip_indexing);
  DbResult<Uuid> apply_put_edge(const Edge& edge, uint64_t t);
  // Deletes a node and its edges; their current versions close at `close_at`.
  DbResult<void> apply_delete_node(const Uuid& id, uint64_t close_at);
  DbResult<void> mark_edge_deleted(const Uuid& id, uint64_t t);
  void record_commit_timestamp(const Uuid& id, uint64_t t);
  DbResult<void> index_node_properties(const Node& node);
  // Writes both adjacency maps to "idx:out:{}" / "idx:in:{}".
  DbResult<void> flush_adjacency();

  // Node existence as seen after the writes applied so far plus `pending`
  // (node id -> exists) from writes accepted but not applied yet.
  using PendingNodes = std::unordered_map<Uuid, bool>;
  // Refuses, before anything is logged, a commit whose edges would lack an
  // endpoint when it is applied.
  DbResult<void> check_applicable(const transaction::CommitWrites& w, const PendingNodes& pending) const;
  static void note_pending(const transaction::CommitWrites& w, PendingNodes& pending);

  // The error that stopped writes, if any.
  std::optional<DbError> write_stop() const;
  void stop_writes(const DbError& cause);

  // ---- transaction host
  std::atomic<uint64_t>& next_tx_id() override { return *next_tx_id_; }
  std::atomic<uint64_t>& next_timestamp() override { return *next_timestamp_; }
  transaction::ActiveTransactions& active_transactions() override { return *active_transactions_; }
  lock_manager::LockManager& lock_manager() override { return *lock_manager_; }
  wal::Wal& wal() override { return *wal_; }
  DbResult<Node> get_node(const Uuid& id) override;
  DbResult<std::vector<Node>> get_nodes_by_label(std::string_view label) override;
  DbResult<Node> get_node_version_at(const Uuid& id, uint64_t t) override;
  std::optional<uint64_t> last_commit_timestamp(const Uuid& id) override;
  DbResult<std::vector<Node>> scan_current_nodes() override;
  DbResult<std::vector<Uuid>> lookup_property_index(std::string_view property, const PropertyValue& value) override;
  DbResult<std::vector<Edge>> scan_edges() override;
  DbResult<Edge> get_edge(const Uuid& id) override;
  DbResult<void> submit_commit(transaction::CommitRequest request) override;
  DbResult<void> persist_clocks() override;
  std::mutex& commit_lock() override { return *storage_write_lock_; }
  // Used by own application after the commit's records are durable: never
  // fails (see apply_durable_commit).
  DbResult<void> apply_commit(const transaction::CommitWrites& w, uint64_t commit_ts) override;

 private:
  Graph() = default;
  DbResult<std::vector<Edge>> edges_listed(const AdjacencyLock& adjacency, const Uuid& id) const;
  // Removes `edge` from `node`'s list in `adjacency`; returns the list left.
  std::vector<Uuid> drop_from_list(AdjacencyLock& adjacency, const Uuid& node, const Uuid& edge);
  // Runs `change` under both adjacency write locks, then writes the source's
  // outgoing and the target's incoming list as they were left.
  DbResult<void> write_adjacency_after(const std::function<void()>& change, const Uuid& source, const Uuid& target);

  std::shared_ptr<storage::Storage> storage_;                        // 0
  std::shared_ptr<AdjacencyLock> outgoing_adjacency_;                // 1
  std::shared_ptr<AdjacencyLock> incoming_adjacency_;                // 2
  std::shared_ptr<std::atomic<uint64_t>> next_tx_id_;                // 3
  std::shared_ptr<std::atomic<uint64_t>> next_timestamp_;            // 4
  std::shared_ptr<CommitTimestamps> node_commit_timestamps_;         // 5
  std::shared_ptr<lock_manager::LockManager> lock_manager_;          // 6
  std::shared_ptr<schema::SchemaCache> schema_cache_;                // 7
  std::shared_ptr<wal::Wal> wal_;                                    // 8
  std::shared_ptr<index::IndexManager> index_manager_;               // 9
  std::shared_ptr<AuxCounter> aux_counter_a_;                        // 10
  std::shared_ptr<AuxCounter> aux_counter_b_;                        // 11
  std::shared_ptr<AuxSlot> aux_slot_;                                // 12
  std::shared_ptr<std::mutex> storage_write_lock_;                   // 13
  std::shared_ptr<applier::Sender> applier_;                         // 14
  std::shared_ptr<transaction::ActiveTransactions> active_transactions_;  // 15
  std::shared_ptr<std::atomic<uint64_t>> graph_version_;             // 16
  std::shared_ptr<CommunityCache> community_cache_;                  // 17
  std::shared_ptr<CommunityCache> leiden_cache_;                     // 18
  std::shared_ptr<EmbeddingIndexCache> embedding_indexes_;           // 19
};

}  // namespace zudizid::graph
