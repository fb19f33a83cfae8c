// An in-memory graph behind the transaction layer's host interface: node
// versions with validity intervals, current nodes, edges, per-node commit
// timestamps, a real write-ahead log in a temporary directory and a real
// lock manager. Commits go through commit_in_order, as a graph without a
// running write applier does.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

#include "transaction/transaction.h"
#include "transaction/transaction_host.h"
#include "wal_test_dir.h"
#include "wal/wal.h"

namespace zudizid::transaction::testing {

class FakeGraph final : public TransactionHost {
 public:
  explicit FakeGraph(const std::filesystem::path& dir, lock_manager::LockManagerOptions locks = {});

  std::atomic<std::uint64_t>& next_tx_id() override { return next_tx_id_; }
  std::atomic<std::uint64_t>& next_timestamp() override { return next_timestamp_; }
  ActiveTransactions& active_transactions() override { return active_; }
  lock_manager::LockManager& lock_manager() override { return locks_; }
  wal::Wal& wal() override { return *wal_; }

  DbResult<Node> get_node(const NodeId& id) override;
  DbResult<std::vector<Node>> get_nodes_by_label(std::string_view label) override;
  DbResult<Node> get_node_version_at(const NodeId& id, std::uint64_t t) override;
  std::optional<std::uint64_t> last_commit_timestamp(const NodeId& id) override;
  DbResult<std::vector<Node>> scan_current_nodes() override;
  DbResult<std::vector<NodeId>> lookup_property_index(std::string_view property, const PropertyValue& value) override;
  DbResult<std::vector<Edge>> scan_edges() override;
  DbResult<Edge> get_edge(const EdgeId& id) override;

  DbResult<void> submit_commit(CommitRequest request) override;
  DbResult<void> persist_clocks() override;
  std::mutex& commit_lock() override { return commit_mu_; }
  DbResult<void> apply_commit(const CommitWrites& writes, std::uint64_t commit_ts) override;

  // ---- test controls
  // Called with each node id that validation looks up (before the lookup).
  std::function<void(const NodeId&)> on_commit_timestamp_lookup;
  std::atomic<int> submitted{0};
  std::atomic<bool> fail_persist{false};
  std::atomic<bool> fail_apply{false};  // apply_commit fails before changing anything
  std::atomic<int> persisted{0};
  // Last commit timestamp returned by apply_commit for a transaction id.
  std::optional<std::uint64_t> commit_ts_of(std::uint64_t tx_id) const;

 private:
  struct Version {
    std::uint64_t valid_from;
    std::optional<std::uint64_t> valid_to;
    Node node;
  };

  std::atomic<std::uint64_t> next_tx_id_{1};
  std::atomic<std::uint64_t> next_timestamp_{1};
  ActiveTransactions active_;
  lock_manager::LockManager locks_;
  std::unique_ptr<wal::Wal> wal_;
  std::mutex commit_mu_;

  mutable std::mutex mu_;  // guards everything below
  std::map<NodeId, Node> current_;
  std::unordered_map<NodeId, std::vector<Version>> versions_;
  std::map<EdgeId, Edge> edges_;
  std::unordered_map<NodeId, std::uint64_t> commit_ts_;
  std::unordered_map<std::uint64_t, std::uint64_t> tx_commit_ts_;
};

// Shorthands for building records.
NodeId id(int n);
Node node(int n, std::string label, PropertyMap properties = {});
Edge edge(int n, int source, int target, std::string type);

// Commits `nodes` (and `edges`) in one ReadCommitted transaction; returns its
// commit timestamp.
std::uint64_t commit_nodes(const std::shared_ptr<FakeGraph>& g, std::vector<Node> nodes,
                           std::vector<Edge> edges = {});

}  // namespace zudizid::transaction::testing
