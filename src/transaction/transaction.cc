#include "transaction/transaction.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>

#include "common/log.h"
#include "transaction/validation.h"

namespace zudizid::transaction {

namespace {
constexpr const char* kTarget = "zudizid::transaction";

bool matches(const Node& node, std::string_view label, std::string_view property, const PropertyValue& value) {
  if (node.label != label) return false;
  const PropertyValue* v = find_property(node, property);
  return v != nullptr && *v == value;
}
}  // namespace

DbResult<std::vector<Node>> committed_nodes_by_property(TransactionHost& host, std::string_view label,
                                                      std::string_view property, const PropertyValue& value) {
  if (auto ids = host.indexed_node_ids(label, property, value)) {
    // The label lists its nodes in id order.
    std::sort(ids->begin(), ids->end());
    ids->erase(std::unique(ids->begin(), ids->end()), ids->end());
    std::vector<Node> kept;
    for (const NodeId& id : *ids) {
      auto node = host.get_node(id);
      if (!node) {
        if (node.error().kind() == DbError::Kind::NodeNotFound) continue;
        return std::unexpected(std::move(node.error()));
      }
      if (matches(*node, label, property, value)) kept.push_back(std::move(*node));
    }
    return kept;
  }
  auto nodes = host.get_nodes_by_label(label);
  if (!nodes) return std::unexpected(std::move(nodes.error()));
  std::vector<Node> kept;
  for (Node& n : *nodes) {
    const PropertyValue* v = find_property(n, property);
    if (v != nullptr && *v == value) kept.push_back(std::move(n));
  }
  return kept;
}

Transaction::Transaction(std::shared_ptr<TransactionHost> host, std::uint64_t tx_id, std::uint64_t start_timestamp)
    : host_(std::move(host)), tx_id_(tx_id), start_timestamp_(start_timestamp) {}

std::unique_ptr<Transaction> Transaction::begin(std::shared_ptr<TransactionHost> host) {
  std::uint64_t tx_id = host->next_tx_id().fetch_add(1);
  std::uint64_t start = host->next_timestamp().fetch_add(1);
  ZLOG(Info, "zudizid::graph", "Starting transaction {} at t={}", tx_id, start);
  host->active_transactions().insert(tx_id, start);
  return std::unique_ptr<Transaction>(new Transaction(std::move(host), tx_id, start));
}

Transaction::~Transaction() {
  if (state_ == TransactionState::Active) {
    ZLOG(Warn, kTarget, "Transaction {} dropped without commit - auto-rollback", tx_id_);
    state_ = TransactionState::RolledBack;
    // An abandoned transaction must not keep its nodes locked for the life
    // of the graph.
    host_->lock_manager().release_all(tx_id_);
  }
  host_->active_transactions().remove(tx_id_);
}

DbResult<void> Transaction::add_node(Node node) {
  if (state_ != TransactionState::Active) return std::unexpected(transaction_not_active());
  if (isolation_ == IsolationLevel::Serializable) {
    auto locked = host_->lock_manager().acquire(tx_id_, node.id, lock_manager::LockMode::Write);
    if (!locked) return std::unexpected(std::move(locked.error()));
  }
  {
    std::unique_lock lock(tracking_->write_mu);
    tracking_->write_set.insert(node.id);
  }
  NodeId id = node.id;
  buffered_nodes_.insert_or_assign(id, std::move(node));
  return {};
}

DbResult<void> Transaction::add_edge(Edge edge) {
  if (state_ != TransactionState::Active) return std::unexpected(transaction_not_active());
  EdgeId id = edge.id;
  buffered_edges_.insert_or_assign(id, std::move(edge));
  return {};
}

DbResult<void> Transaction::delete_node(const NodeId& id) {
  if (state_ != TransactionState::Active) return std::unexpected(transaction_not_active());
  deleted_nodes_.insert(id);
  buffered_nodes_.erase(id);
  return {};
}

DbResult<void> Transaction::delete_edge(const EdgeId& id) {
  if (state_ != TransactionState::Active) return std::unexpected(transaction_not_active());
  deleted_edges_.insert(id);
  buffered_edges_.erase(id);
  return {};
}

DbResult<std::vector<Node>> Transaction::get_nodes_by_property(std::string_view label, std::string_view property,
                                                             const PropertyValue& value) {
  return committed_nodes_by_property(*host_, label, property, value);
}

void Transaction::record_scan(ScanRecord record) {
  std::unique_lock lock(tracking_->scan_mu);
  for (const ScanRecord& r : tracking_->scan_records) {
    if (r == record) return;
  }
  tracking_->scan_records.push_back(std::move(record));
}

DbResult<std::vector<Node>> Transaction::find_nodes_by_property(std::string_view label, std::string_view property,
                                                              const PropertyValue& value) {
  if (state_ != TransactionState::Active) return std::unexpected(transaction_not_active());
  if (isolation_ == IsolationLevel::ReadUncommitted || isolation_ == IsolationLevel::ReadCommitted) {
    return get_nodes_by_property(label, property, value);
  }

  std::optional<NodeIdSet> ids;
  {
    std::shared_lock lock(tracking_->scan_mu);
    for (const ScanRecord& r : tracking_->scan_records) {
      const auto* p = std::get_if<PredicateScan>(&r);
      if (p != nullptr && p->label == label && p->property == property && p->value == value) {
        ids = p->ids;
        break;
      }
    }
  }
  if (!ids) {
    auto committed = get_nodes_by_property(label, property, value);
    if (!committed) return std::unexpected(std::move(committed.error()));
    NodeIdSet found;
    for (const Node& n : *committed) found.insert(n.id);
    record_scan(PredicateScan{std::string(label), std::string(property), value.clone(), found});
    ids = std::move(found);
  }

  std::vector<Node> kept;
  for (const NodeId& id : *ids) {
    auto node = get_node(id);
    if (!node) continue;  // locked, deleted or not visible: not part of the result
    if (matches(*node, label, property, value)) kept.push_back(std::move(*node));
  }
  return kept;
}

DbResult<Node> Transaction::get_node(const NodeId& id) {
  const bool snapshot = isolation_ == IsolationLevel::RepeatableRead || isolation_ == IsolationLevel::Serializable;
  if (isolation_ == IsolationLevel::Serializable) {
    auto locked = host_->lock_manager().acquire(tx_id_, id, lock_manager::LockMode::Read);
    if (!locked) return std::unexpected(std::move(locked.error()));
  }
  if (snapshot) {
    std::unique_lock lock(tracking_->read_mu);
    tracking_->read_set.insert(id);
  }
  if (deleted_nodes_.contains(id)) return std::unexpected(node_not_found(id));
  if (auto it = buffered_nodes_.find(id); it != buffered_nodes_.end()) return it->second;
  // The lower levels see the committed state now; the snapshot levels as of
  // the start timestamp.
  return snapshot ? host_->get_node_version_at(id, start_timestamp_) : host_->get_node(id);
}

void Transaction::clear_writes() {
  buffered_nodes_.clear();
  buffered_edges_.clear();
  deleted_nodes_.clear();
  deleted_edges_.clear();
}

void Transaction::end_in_memory() {
  host_->lock_manager().release_all(tx_id_);
  host_->active_transactions().remove(tx_id_);
}

DbResult<void> Transaction::commit(std::unique_ptr<Transaction> tx) {
  if (tx->state_ != TransactionState::Active) return std::unexpected(transaction_not_active());
  auto result = tx->commit_inner();
  if (!result) {
    tx->end_in_memory();
    tx->state_ = TransactionState::RolledBack;
  }
  return result;
}

DbResult<void> Transaction::commit_inner() {
  ZLOG(Info, kTarget, "Committing transaction {} (isolation: {}", tx_id_, isolation_level_name(isolation_));
  const bool serializable = isolation_ == IsolationLevel::Serializable;
  if (serializable) {
    for (const NodeId& id : deleted_nodes_) {
      auto locked = host_->lock_manager().acquire(tx_id_, id, lock_manager::LockMode::Write);
      if (!locked) return std::unexpected(std::move(locked.error()));
    }
  }

  CommitRequest request;
  CommitWrites& w = request.writes;
  for (const NodeId& id : deleted_nodes_) {
    auto node = host_->get_node(id);
    if (!node) return std::unexpected(std::move(node.error()));
    w.deleted_nodes.emplace_back(id, std::move(*node));
  }
  // The whole edge goes into the log, so that replay can redo the deletion.
  for (const EdgeId& id : deleted_edges_) {
    auto edge = host_->get_edge(id);
    if (!edge) return std::unexpected(std::move(edge.error()));
    w.deleted_edges.emplace_back(id, std::move(*edge));
  }
  for (const auto& [_, node] : buffered_nodes_) w.nodes.push_back(node);
  for (const auto& [_, edge] : buffered_edges_) w.edges.push_back(edge);
  w.tx_id = tx_id_;
  w.start_timestamp = start_timestamp_;

  if (serializable) {
    // Runs in commit order under the host's commit exclusion, so no commit
    // can land between the tests and this commit's timestamp.
    request.validate = [host = host_.get(), tracking = tracking_, deleted = deleted_nodes_,
                        start = start_timestamp_]() { return validate_serializable(*host, *tracking, deleted, start); };
  }
  auto submitted = host_->submit_commit(std::move(request));
  if (!submitted) return submitted;

  host_->lock_manager().release_all(tx_id_);
  state_ = TransactionState::Committed;
  host_->active_transactions().remove(tx_id_);
  ZLOG(Info, kTarget, "Transaction {} committed successfully", tx_id_);
  return {};
}

DbResult<void> Transaction::rollback_async(std::unique_ptr<Transaction> tx) {
  if (tx->state_ != TransactionState::Active) return std::unexpected(transaction_not_active());
  const std::uint64_t id = tx->tx_id_;
  ZLOG(Info, kTarget, "Rolling back transaction {} (async, writing WAL Abort)", id);
  std::vector<wal::WalRecord> abort{wal::Abort{id}};
  auto appended = tx->host_->wal().append_batch(abort);
  if (!appended) {
    ZLOG(Warn, kTarget, "Transaction {}: failed to write WAL Abort record: {} — rollback still applied in memory", id,
         error_text(appended.error()));
  }
  tx->clear_writes();
  tx->state_ = TransactionState::RolledBack;
  tx->host_->lock_manager().release_all(id);
  if (auto persisted = tx->host_->persist_clocks(); !persisted) {
    ZLOG(Warn, kTarget, "Transaction {}: failed to persist logical clocks on rollback: {}", id,
         error_text(persisted.error()));
  }
  tx->host_->active_transactions().remove(id);
  if (appended) ZLOG(Info, kTarget, "Transaction {} rolled back (async, WAL Abort written)", id);
  return {};
}

void Transaction::rollback() {
  if (state_ != TransactionState::Active) return;
  clear_writes();
  state_ = TransactionState::RolledBack;
  end_in_memory();
}

DbResult<void> Transaction::rollback_sync(std::unique_ptr<Transaction> tx) {
  if (tx->state_ != TransactionState::Active) return std::unexpected(transaction_not_active());
  const std::uint64_t id = tx->tx_id_;
  ZLOG(Info, kTarget, "Rolling back transaction {} (sync, WAL Abort NOT written — use rollback_async() when possible)",
       id);
  tx->rollback();
  ZLOG(Info, kTarget, "Transaction {} rolled back (sync)", id);
  return {};
}

}  // namespace zudizid::transaction
