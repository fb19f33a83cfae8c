// Graph: the shared handle of one open database.
//
// Open one with graph::open_graph or graph::open_in_memory (graph/open.h),
// close it with graph::close_graph (graph/close.h). Copying the handle
// (`clone`) shares every member, so all copies see one state; the state
// goes with the last copy.
//
// Reading:
//
//   Graph g = *open_graph(path);
//   auto people = g.nodes_with_label("Person");
//   while (auto next = people.next()) {
//     if (!*next) return std::unexpected(next->error());
//     const Node& person = **next;
//     auto friends = g.neighbours(person.id, Direction::Outgoing, "KNOWS");
//     while (auto step = friends.next()) { ... (*step)->node ... }
//   }
//   uint64_t n = *g.node_count();
//
// Rules for reads:
// - They see committed data as stored now: never a transaction's buffered
//   writes, no snapshot across calls (a transaction gives isolation).
// - Cursors (storage/cursor.h) stream: one record decoded per step, no lock
//   held between steps. A cursor yields an error at most once and then
//   ends.
// - nodes() and edges() walk the stored records in key (id) order.
//   nodes_with_label visits only that label's nodes (from an in-memory label
//   map), in id order, and matches the label byte for byte.
// - edges_of and neighbours follow the in-memory adjacency: ids in the order
//   the edges were added, outgoing before incoming for Direction::Both (a
//   self-loop is met once each way). An edge deleted while the cursor runs
//   is skipped; an edge record that cannot be read is the cursor's error.
// - node_count and edge_count count stored keys; they decode nothing.
//
// Writing: transactions (transaction/transaction.h) over a clone of the
// handle, upserts (graph/upsert/upsert.h), the bulk loader
// (graph/bulk_load.h), embeddings (graph/embeddings.h) and index creation
// (graph/indexes.h). Every write goes through the write applier's queue,
// or, once the applier has ended, is applied by its writer the same way
// (the commit pipeline of transaction/commit_group.h).
//
// Members, in construction order:
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
//   10 storage_write_lock      serialises every writer of stored graph data
//                              (the write applier's batches, own application,
//                              adjacency flushes, bulk flushes)
//   11 applier                 sending side of the write-applier queue
//   12 active_transactions
//   13 graph_version           raised by every applied mutation
//   14 embedding_indexes       per-model nearest-neighbour index cache
//   15 labels                  label -> node ids (graph/label_map.h)
//
// Lock order on the write path: storage_write_lock, then the log's file and
// position locks (inside Wal::append_batch), then outgoing_adjacency, then
// incoming_adjacency; the label map, the commit timestamps and the index
// registry are leaves. Nobody waits for the applier's reply while holding
// any of these: the applier takes them all.
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
#include "graph/label_map.h"
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
struct WriteOpApplier;
}
class EmbeddingIndexCache;

using storage::Cursor;
using NodeCursor = Cursor<Node>;
using EdgeCursor = Cursor<Edge>;

// Which of a node's edges a read follows.
enum class Direction { Outgoing, Incoming, Both };

// One step from a node: the edge taken and the node at its other end.
struct Neighbour {
  Edge edge;
  Uuid node;
};
using NeighbourCursor = Cursor<Neighbour>;

using storage::AdjacencyMap;

// A map behind a reader-writer lock.
template <class Map>
struct Locked {
  mutable std::shared_mutex mu;
  Map map;
};

using AdjacencyLock = Locked<AdjacencyMap>;
using CommitTimestamps = Locked<std::unordered_map<Uuid, uint64_t>>;

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
  // ---- lifecycle
  // Builds the members in order (the label map from the stored nodes) and
  // starts the write applier.
  static Graph build(GraphParts parts);

  Graph(const Graph&) = default;
  Graph& operator=(const Graph&) = default;
  Graph(Graph&&) = default;
  Graph& operator=(Graph&&) = default;
  ~Graph() override = default;
  Graph clone() const { return *this; }

  // ---- reads: the committed state as stored now (see the rules above)
  // NodeNotFound / EdgeNotFound when there is no record.
  DbResult<Node> node(const Uuid& id) const;
  DbResult<Edge> edge(const Uuid& id) const;
  NodeCursor nodes() const;
  NodeCursor nodes_with_label(std::string_view label) const;
  EdgeCursor edges() const;
  // `type`: only edges of this type; none: every type.
  EdgeCursor edges_of(const Uuid& node, Direction direction, std::optional<std::string> type = {}) const;
  NeighbourCursor neighbours(const Uuid& node, Direction direction, std::optional<std::string> type = {}) const;
  DbResult<uint64_t> node_count() const;
  DbResult<uint64_t> edge_count() const;
  // Whole lists of the edges a node's adjacency names: a listed edge that
  // cannot be read is left out (and logged), never an error.
  DbResult<std::vector<Edge>> get_outgoing_edges(const Uuid& id) const;
  DbResult<std::vector<Edge>> get_incoming_edges(const Uuid& id) const;

  // ---- writes
  // One single write operation, applied in queue order with the commits;
  // not logged (see graph/write_op.h).
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
  // Writes both adjacency maps to "idx:out:{}" / "idx:in:{}".
  DbResult<void> flush_adjacency();
  // The error that stopped writes, if any.
  std::optional<DbError> write_stop() const override;
  void stop_writes(const DbError& cause);

  // ---- engine state, for the engine's own modules (open, recovery, bulk
  // loading, indexes, embeddings, the applier, the binding's frame)
  const std::shared_ptr<storage::Storage>& storage() const { return storage_; }
  AdjacencyLock& outgoing_adjacency() const { return *outgoing_adjacency_; }
  AdjacencyLock& incoming_adjacency() const { return *incoming_adjacency_; }
  CommitTimestamps& node_commit_timestamps() const { return *node_commit_timestamps_; }
  schema::SchemaCache& schema_cache() const { return *schema_cache_; }
  index::IndexManager* index_manager() const { return index_manager_.get(); }
  std::mutex& storage_write_lock() const { return *storage_write_lock_; }
  const std::shared_ptr<applier::Sender>& applier() const { return applier_; }
  std::atomic<uint64_t>& graph_version() const { return *graph_version_; }
  EmbeddingIndexCache& embedding_indexes() const { return *embedding_indexes_; }
  LabelMap& labels() const { return *labels_; }

  // ---- transaction host (transaction/transaction_host.h)
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
  std::optional<std::vector<Uuid>> indexed_node_ids(std::string_view label, std::string_view property,
                                                    const PropertyValue& value) override;
  DbResult<std::vector<Edge>> scan_edges() override;
  DbResult<Edge> get_edge(const Uuid& id) override;
  DbResult<void> submit_commit(transaction::CommitRequest request) override;
  DbResult<void> persist_clocks() override;
  std::mutex& commit_lock() override { return *storage_write_lock_; }
  // Applies a commit whose records are durable: never fails (a failure to
  // apply stops the graph's writes and is logged).
  DbResult<void> apply_commit(const transaction::CommitWrites& w, uint64_t commit_ts) override;
  // Refuses, before anything is logged, a commit whose edges would lack an
  // endpoint when it is applied after the stored state plus `pending`.
  DbResult<void> check_applicable(const transaction::CommitWrites& w,
                                  const transaction::PendingNodes& pending) const override;

 private:
  friend struct applier::WriteOpApplier;

  Graph() = default;

  // ---- applying writes (graph/apply.cc); callers hold storage_write_lock
  DbResult<void> apply_write_op(const WriteOp& op);
  // Applies a commit whose records are durable; returns a storage failure.
  DbResult<void> apply_commit_writes(const transaction::CommitWrites& w, uint64_t commit_ts);
  // A failure stops the graph's writes (logged); the commit still counts.
  void apply_durable_commit(const transaction::CommitWrites& w, uint64_t commit_ts);
  void record_commit_timestamp(const Uuid& id, uint64_t t);

  DbResult<std::vector<Edge>> edges_listed(const AdjacencyLock& adjacency, const Uuid& id) const;
  // The edge ids `direction` lists for `node` now, outgoing first.
  std::vector<Uuid> listed_edge_ids(const Uuid& node, Direction direction) const;
  // ---- staging writes: store writes go into `w`, memory changes happen at
  // once; IndexChanges collects (old, new) node records for the secondary
  // indexes, updated by store() once `w` is stored.
  using IndexChanges = std::vector<std::pair<std::optional<Node>, std::optional<Node>>>;
  DbResult<void> store(storage::WriteSet& w, const IndexChanges& changes, std::optional<uint64_t> clock);
  // "node:{id}", the label map, both adjacency lists of the node.
  DbResult<void> stage_node_record(storage::WriteSet& w, const Node& node, bool existed);
  // The same less "node:{id}", for a record already staged.
  DbResult<void> stage_node_entries(storage::WriteSet& w, const Node& node, bool existed);
  // Property-index entries of `node`, replacing those of `old`.
  DbResult<void> stage_property_index(storage::WriteSet& w, const Node* old, const Node& node);
  DbResult<void> stage_put_node(storage::WriteSet& w, const Node& node, bool skip_indexing, IndexChanges& changes);
  DbResult<void> stage_put_edge(storage::WriteSet& w, const Edge& edge, uint64_t t);
  // Deletes a node and its edges; their current versions close at `close_at`.
  DbResult<void> stage_delete_node(storage::WriteSet& w, const Uuid& id, uint64_t close_at, IndexChanges& changes);
  DbResult<void> stage_delete_edge(storage::WriteSet& w, const Uuid& id, uint64_t t);
  // The edges a node's list in `adjacency` names, read through `w`.
  std::vector<Edge> staged_edges(storage::WriteSet& w, const AdjacencyLock& adjacency, const Uuid& node);
  // Removes `edge` from `node`'s list in `adjacency`; returns the list left.
  std::vector<Uuid> drop_from_list(AdjacencyLock& adjacency, const Uuid& node, const Uuid& edge);
  // Runs `change` under both adjacency write locks, then stages the source's
  // outgoing and the target's incoming list as they were left.
  DbResult<void> stage_adjacency_after(const std::function<void()>& change, storage::WriteSet& w,
                                       const Uuid& source, const Uuid& target);

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
  std::shared_ptr<std::mutex> storage_write_lock_;                   // 10
  std::shared_ptr<applier::Sender> applier_;                         // 11
  std::shared_ptr<transaction::ActiveTransactions> active_transactions_;  // 12
  std::shared_ptr<std::atomic<uint64_t>> graph_version_;             // 13
  std::shared_ptr<EmbeddingIndexCache> embedding_indexes_;           // 14
  std::shared_ptr<LabelMap> labels_;                                 // 15
};

}  // namespace zudizid::graph
