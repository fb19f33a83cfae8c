#include "graph/graph.h"

#include "common/log.h"
#include "graph/applier/applier.h"
#include "graph/vector/index_cache.h"
#include "storage/storage_keys.h"

namespace zudizid::graph {

namespace {
constexpr const char* kTarget = "zudizid::graph";
}

Graph Graph::build(GraphParts parts) {
  Graph g;
  g.storage_ = std::move(parts.storage);
  g.outgoing_adjacency_ = std::make_shared<AdjacencyLock>();
  g.outgoing_adjacency_->map = std::move(parts.adjacency.outgoing);
  g.incoming_adjacency_ = std::make_shared<AdjacencyLock>();
  g.incoming_adjacency_->map = std::move(parts.adjacency.incoming);
  g.next_tx_id_ = std::make_shared<std::atomic<uint64_t>>(parts.next_tx_id);
  g.next_timestamp_ = std::make_shared<std::atomic<uint64_t>>(parts.next_timestamp);
  g.node_commit_timestamps_ = std::make_shared<CommitTimestamps>();
  g.lock_manager_ = std::make_shared<lock_manager::LockManager>(parts.lock_options);
  g.schema_cache_ = std::make_shared<schema::SchemaCache>();
  g.wal_ = std::move(parts.wal);
  g.index_manager_ = std::move(parts.index_manager);
  g.storage_write_lock_ = std::make_shared<std::mutex>();
  g.applier_ = parts.start_applier ? applier::spawn_write_applier() : applier::closed_write_applier();
  g.active_transactions_ = std::make_shared<transaction::ActiveTransactions>();
  g.graph_version_ = std::make_shared<std::atomic<uint64_t>>(1);
  g.embedding_indexes_ = std::make_shared<EmbeddingIndexCache>();
  g.labels_ = std::make_shared<LabelMap>();
  if (auto loaded = g.labels_->load(*g.storage_); !loaded) {
    ZLOG(Warn, kTarget, "Label lookups will scan every node: {}", loaded.error().display());
  }
  return g;
}

// ---------------------------------------------------------------- writes

std::optional<DbError> Graph::write_stop() const { return applier_->queue().write_stop(); }

void Graph::stop_writes(const DbError& cause) { applier_->queue().stop_writes(cause); }

DbResult<void> Graph::submit_write(WriteOp op) { return send_write(std::move(op)).wait(); }

Graph::PendingWrite Graph::send_write(WriteOp op) {
  PendingWrite pending;
  if (auto stop = write_stop()) {
    pending.ready_ = std::unexpected(*stop);
    return pending;
  }
  auto [tx, rx] = applier::Reply::make();
  auto back = applier_->queue().send({std::move(op), clone(), std::move(tx)});
  if (back) {
    // The applier has ended: apply it here, as the applier would.
    WriteOp own = std::get<WriteOp>(std::move(back->payload));
    back.reset();
    std::lock_guard lock(storage_write_lock());
    pending.ready_ = apply_write_op(own);
    return pending;
  }
  pending.reply_.emplace(std::move(rx));
  return pending;
}

DbResult<void> Graph::PendingWrite::wait() {
  if (ready_) return std::move(*ready_);
  auto result = reply_->wait();
  if (!result) return std::unexpected(DbError::concurrency("write applier dropped the operation"));
  return std::move(*result);
}

DbResult<void> Graph::unindex_property(std::string_view property, const PropertyValue& value, const Uuid& node) {
  return submit_write(WriteOp{WriteOp::UnindexProperty{std::string(property), value.clone(), node}});
}

DbResult<void> Graph::submit_commit(transaction::CommitRequest request) {
  if (auto stop = write_stop()) return std::unexpected(*stop);
  auto [tx, rx] = applier::Reply::make();
  auto back = applier_->queue().send({std::move(request), clone(), std::move(tx)});
  if (back) {
    // The applier has ended: run the commit through a pipeline of its own,
    // under storage_write_lock, as the applier would.
    transaction::CommitRequest own = std::get<transaction::CommitRequest>(std::move(back->payload));
    back.reset();
    return transaction::commit_in_order(*this, std::move(own));
  }
  auto result = rx.wait();
  if (!result) return std::unexpected(DbError::concurrency("write applier dropped the commit"));
  return std::move(*result);
}

DbResult<void> Graph::apply_commit(const transaction::CommitWrites& w, uint64_t commit_ts) {
  apply_durable_commit(w, commit_ts);
  return {};
}

void Graph::apply_durable_commit(const transaction::CommitWrites& w, uint64_t commit_ts) {
  if (auto stop = write_stop()) {
    ZLOG(Error, kTarget, "Commit of transaction {} at t={} is logged but not applied: writes are stopped ({})",
         w.tx_id, commit_ts, stop->display());
    return;
  }
  auto applied = apply_commit_writes(w, commit_ts);
  if (applied) return;
  // The Commit record is durable, so the transaction is committed and the
  // log redoes it at the next open; the stored state now lags the log, so no
  // further write may build on it.
  ZLOG(Error, kTarget,
       "Commit of transaction {} at t={} is logged but applying it failed: {}; the graph accepts no further "
       "writes until it is reopened",
       w.tx_id, commit_ts, applied.error().display());
  stop_writes(DbError::message("Writes stopped: applying a logged commit failed: " + applied.error().display()));
}

DbResult<void> Graph::check_applicable(const transaction::CommitWrites& w,
                                       const transaction::PendingNodes& pending) const {
  transaction::PendingNodes own;
  transaction::note_pending(w, own);
  auto exists = [&](const Uuid& id) -> DbResult<bool> {
    if (auto it = own.find(id); it != own.end()) return it->second;
    if (auto it = pending.find(id); it != pending.end()) return it->second;
    return storage_->node_exists(id);
  };
  for (const Edge& e : w.edges) {
    for (const Uuid& end : {e.source, e.target}) {
      auto present = exists(end);
      if (!present) return std::unexpected(std::move(present.error()));
      if (!*present) return std::unexpected(DbError::node_not_found(end.to_string()));
    }
  }
  return {};
}

DbResult<void> Graph::persist_clocks() {
  if (auto r = storage_->store_counter_max(storage::keys::kNextTimestamp, next_timestamp_->load()); !r) return r;
  return storage_->store_counter_max(storage::keys::kNextTxId, next_tx_id_->load());
}

}  // namespace zudizid::graph
