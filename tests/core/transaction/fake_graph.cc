#include "fake_graph.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

namespace zudizid::transaction::testing {

FakeGraph::FakeGraph(const std::filesystem::path& dir, lock_manager::LockManagerOptions locks) : locks_(locks) {
  auto opened = wal::Wal::open(dir / "zovov.wal");
  if (!opened) {
    ADD_FAILURE() << opened.error().display();
    std::abort();
  }
  wal_ = std::move(*opened);
}

DbResult<Node> FakeGraph::get_node(const NodeId& id) {
  std::lock_guard lock(mu_);
  auto it = current_.find(id);
  if (it == current_.end()) return std::unexpected(DbError::node_not_found(id.to_string()));
  return it->second;
}

DbResult<std::vector<Node>> FakeGraph::get_nodes_by_label(std::string_view label) {
  std::lock_guard lock(mu_);
  std::vector<Node> out;
  for (const auto& [_, n] : current_) {
    if (n.label == label) out.push_back(n);
  }
  return out;
}

DbResult<Node> FakeGraph::get_node_version_at(const NodeId& id, std::uint64_t t) {
  std::lock_guard lock(mu_);
  auto it = versions_.find(id);
  if (it == versions_.end()) return std::unexpected(DbError::node_not_found(id.to_string()));
  for (const Version& v : it->second) {
    if (v.valid_from <= t && (!v.valid_to || *v.valid_to > t)) return v.node;
  }
  return std::unexpected(DbError::message(fmt::format("No version of node {} valid at timestamp {}", id.to_string(), t)));
}

std::optional<std::uint64_t> FakeGraph::last_commit_timestamp(const NodeId& id) {
  if (on_commit_timestamp_lookup) on_commit_timestamp_lookup(id);
  std::lock_guard lock(mu_);
  auto it = commit_ts_.find(id);
  if (it == commit_ts_.end()) return std::nullopt;
  return it->second;
}

DbResult<std::vector<Node>> FakeGraph::scan_current_nodes() {
  std::lock_guard lock(mu_);
  std::vector<Node> out;
  for (const auto& [_, n] : current_) out.push_back(n);
  return out;
}

DbResult<std::vector<NodeId>> FakeGraph::lookup_property_index(std::string_view property, const PropertyValue& value) {
  std::lock_guard lock(mu_);
  std::vector<NodeId> out;
  for (const auto& [id, n] : current_) {
    auto it = n.properties.find(std::string(property));
    if (it != n.properties.end() && it->second == value) out.push_back(id);
  }
  return out;
}

DbResult<std::vector<Edge>> FakeGraph::scan_edges() {
  std::lock_guard lock(mu_);
  std::vector<Edge> out;
  for (const auto& [_, e] : edges_) out.push_back(e);
  return out;
}

DbResult<Edge> FakeGraph::get_edge(const EdgeId& id) {
  std::lock_guard lock(mu_);
  auto it = edges_.find(id);
  if (it == edges_.end()) return std::unexpected(DbError::edge_not_found(id.to_string()));
  return it->second;
}

DbResult<void> FakeGraph::submit_commit(CommitRequest request) {
  submitted.fetch_add(1);
  return commit_in_order(*this, std::move(request));
}

DbResult<void> FakeGraph::persist_clocks() {
  persisted.fetch_add(1);
  if (fail_persist) return std::unexpected(DbError::message("persist failed"));
  return {};
}

DbResult<void> FakeGraph::apply_commit(const CommitWrites& w, std::uint64_t t) {
  if (fail_apply) return std::unexpected(DbError::message("apply failed"));
  std::lock_guard lock(mu_);
  tx_commit_ts_[w.tx_id] = t;
  for (const auto& [id, _] : w.deleted_edges) {
    auto it = edges_.find(id);
    if (it == edges_.end()) return std::unexpected(DbError::edge_not_found(id.to_string()));
    commit_ts_[it->second.source] = t;
    commit_ts_[it->second.target] = t;
    edges_.erase(it);
  }
  for (const auto& [id, _] : w.deleted_nodes) {
    if (!current_.erase(id)) return std::unexpected(DbError::node_not_found(id.to_string()));
    std::erase_if(edges_, [&](const auto& kv) { return kv.second.source == id || kv.second.target == id; });
    commit_ts_[id] = t;
  }
  for (const Node& n : w.nodes) {
    auto& chain = versions_[n.id];
    if (!chain.empty() && !chain.back().valid_to) chain.back().valid_to = t;
    chain.push_back({t, std::nullopt, n});
    current_[n.id] = n;
    commit_ts_[n.id] = t;
  }
  for (const Edge& e : w.edges) {
    if (!current_.contains(e.source)) return std::unexpected(DbError::node_not_found(e.source.to_string()));
    if (!current_.contains(e.target)) return std::unexpected(DbError::node_not_found(e.target.to_string()));
    edges_[e.id] = e;
    commit_ts_[e.source] = t;
    commit_ts_[e.target] = t;
  }
  return {};
}

std::optional<std::uint64_t> FakeGraph::commit_ts_of(std::uint64_t tx_id) const {
  std::lock_guard lock(mu_);
  auto it = tx_commit_ts_.find(tx_id);
  if (it == tx_commit_ts_.end()) return std::nullopt;
  return it->second;
}

NodeId id(int n) {
  common::Uuid::Bytes b{};
  b[0] = 0xa0;
  b[14] = static_cast<std::uint8_t>(n >> 8);
  b[15] = static_cast<std::uint8_t>(n);
  return common::Uuid(b);
}

Node node(int n, std::string label, PropertyMap properties) {
  return Node{id(n), std::move(label), std::move(properties), NodeKind::Individual};
}

Edge edge(int n, int source, int target, std::string type) {
  return Edge{id(1000 + n), id(source), id(target), std::move(type), {}};
}

std::uint64_t commit_nodes(const std::shared_ptr<FakeGraph>& g, std::vector<Node> nodes, std::vector<Edge> edges) {
  auto tx = Transaction::begin(g);
  std::uint64_t tx_id = tx->tx_id();
  for (Node& n : nodes) EXPECT_TRUE(tx->add_node(std::move(n)));
  for (Edge& e : edges) EXPECT_TRUE(tx->add_edge(std::move(e)));
  auto r = Transaction::commit(std::move(tx));
  EXPECT_TRUE(r) << r.error().display();
  return g->commit_ts_of(tx_id).value_or(0);
}

}  // namespace zudizid::transaction::testing
