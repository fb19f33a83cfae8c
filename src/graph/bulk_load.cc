#include "graph/bulk_load.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>

#include "common/log.h"
#include "storage/storage_lists.h"

namespace zudizid::graph {

namespace {

kelm::Bytes as_bytes(std::string_view s) { return kelm::Tree::as_bytes(s); }

// Adds "<prefix><id>" -> the id list to `batch`.
void put_id_list(kelm::Batch& batch, std::string_view prefix, const Uuid& id, const std::vector<Uuid>& ids) {
  std::string key(prefix);
  id.append_to(key);
  batch.insert(as_bytes(key), records::encode_id_list(ids));
}

// Sorted, without repeats.
void sort_unique(std::vector<Uuid>& ids) {
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
}

}  // namespace

BulkLoader::BulkLoader(const Graph& graph, std::uint64_t batch_size)
    : start_time_(std::chrono::steady_clock::now()), graph_(graph.clone()), batch_size_(batch_size) {
  node_buffer_.reserve(batch_size_);
  edge_buffer_.reserve(batch_size_);
}

bool BulkLoader::add_node(Node node) {
  node_buffer_.push_back(std::move(node));
  return node_buffer_.size() >= batch_size_;
}

bool BulkLoader::add_edge(Edge edge) {
  edge_buffer_.push_back(std::move(edge));
  return edge_buffer_.size() >= batch_size_;
}

DbResult<void> BulkLoader::flush_nodes() {
  if (node_buffer_.empty()) return {};
  std::vector<Node> nodes = std::exchange(node_buffer_, {});
  std::lock_guard storage_guard(graph_.storage_write_lock());

  kelm::Batch records;
  records.writes.reserve(nodes.size());
  for (const Node& n : nodes) {
    auto bytes = n.to_msgpack();
    if (!bytes) return std::unexpected(std::move(bytes.error()));
    std::string key = "node:";
    n.id.append_to(key);
    records.insert(as_bytes(key), std::move(*bytes));
  }
  if (auto r = graph_.storage()->db().apply_batch(std::move(records)); !r) return std::unexpected(DbError(r.error()));
  ZLOG(Debug, "zudizid::storage", "Batch inserted {} nodes", nodes.size());

  // A node flushed after its edges keeps them: entries are created only
  // when absent, and the stored keys are written from the current lists.
  kelm::Batch adjacency;
  adjacency.writes.reserve(2 * nodes.size());
  {
    std::unique_lock out_guard(graph_.outgoing_adjacency().mu);
    std::unique_lock in_guard(graph_.incoming_adjacency().mu);
    for (const Node& n : nodes) {
      put_id_list(adjacency, "idx:out:", n.id, graph_.outgoing_adjacency().map.try_emplace(n.id).first->second);
      put_id_list(adjacency, "idx:in:", n.id, graph_.incoming_adjacency().map.try_emplace(n.id).first->second);
    }
  }
  if (auto r = graph_.storage()->db().apply_batch(std::move(adjacency)); !r) {
    return std::unexpected(DbError(r.error()));
  }
  ZLOG(Debug, "zudizid::storage", "Batch saved {} out indices and {} in indices", nodes.size(), nodes.size());
  graph_.graph_version().fetch_add(1);
  total_nodes_ += nodes.size();
  ZLOG(Debug, "zudizid::graph", "Flushed {} nodes (total: {})", nodes.size(), total_nodes_);
  return {};
}

DbResult<void> BulkLoader::flush_edges() {
  if (edge_buffer_.empty()) return {};
  std::vector<Edge> edges = std::exchange(edge_buffer_, {});
  std::lock_guard storage_guard(graph_.storage_write_lock());

  auto tree = graph_.storage()->db().open_tree("edges");
  if (!tree) return std::unexpected(DbError(tree.error()));
  kelm::Batch records;
  records.writes.reserve(edges.size());
  for (const Edge& e : edges) {
    auto bytes = e.to_msgpack();
    if (!bytes) return std::unexpected(std::move(bytes.error()));
    records.insert(as_bytes(e.id.to_string()), std::move(*bytes));
  }
  if (auto r = tree->apply_batch(std::move(records)); !r) return std::unexpected(DbError(r.error()));
  ZLOG(Debug, "zudizid::storage", "Batch inserted {} edges to edges tree", edges.size());

  // The endpoints' stored adjacency is written here as well, not only at
  // close: a crash or a drop without close must not lose these edges.
  std::vector<Uuid> sources, targets;
  sources.reserve(edges.size());
  targets.reserve(edges.size());
  for (const Edge& e : edges) {
    sources.push_back(e.source);
    targets.push_back(e.target);
  }
  sort_unique(sources);
  sort_unique(targets);
  kelm::Batch adjacency;
  adjacency.writes.reserve(sources.size() + targets.size());
  {
    std::unique_lock out_guard(graph_.outgoing_adjacency().mu);
    std::unique_lock in_guard(graph_.incoming_adjacency().mu);
    auto& out = graph_.outgoing_adjacency().map;
    auto& in = graph_.incoming_adjacency().map;
    for (const Edge& e : edges) {
      out[e.source].push_back(e.id);
      in[e.target].push_back(e.id);
    }
    for (const Uuid& id : sources) put_id_list(adjacency, "idx:out:", id, out.find(id)->second);
    for (const Uuid& id : targets) put_id_list(adjacency, "idx:in:", id, in.find(id)->second);
  }
  if (auto r = graph_.storage()->db().apply_batch(std::move(adjacency)); !r) {
    return std::unexpected(DbError(r.error()));
  }
  graph_.graph_version().fetch_add(1);
  total_edges_ += edges.size();
  ZLOG(Debug, "zudizid::graph", "Flushed {} edges (total: {})", edges.size(), total_edges_);
  return {};
}

DbResult<void> BulkLoader::finish() {
  if (auto r = flush_nodes(); !r) return r;
  return flush_edges();
}

}  // namespace zudizid::graph
