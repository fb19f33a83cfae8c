#include "graph/bulk_load.h"

#include <mutex>
#include <string>
#include <utility>

#include "common/log.h"
#include "storage/storage_keys.h"
#include "storage/storage_lists.h"

namespace zudizid::graph {

namespace {

using IdLists = std::vector<std::pair<Uuid, std::vector<Uuid>>>;

// One batch holding the stored adjacency keys of the given entries.
kelm::Batch adjacency_batch(const IdLists& out_lists, const IdLists& in_lists) {
  kelm::Batch batch;
  auto put = [&batch](const std::string& key, const std::vector<Uuid>& ids) {
    std::vector<std::uint8_t> v = records::encode_id_list(ids);
    batch.insert(std::string_view(key),
                 std::string_view(reinterpret_cast<const char*>(v.data()), v.size()));
  };
  for (const auto& [id, ids] : out_lists) put(storage::keys::out_adjacency(id), ids);
  for (const auto& [id, ids] : in_lists) put(storage::keys::in_adjacency(id), ids);
  return batch;
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
  for (const Node& n : nodes) {
    auto bytes = n.to_msgpack();
    if (!bytes) return std::unexpected(std::move(bytes.error()));
    std::string key = "node:";
    n.id.append_to(key);
    records.insert(std::string_view(key),
                   std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  }
  if (auto r = graph_.storage()->db().apply_batch(std::move(records)); !r) return std::unexpected(DbError(r.error()));
  ZLOG(Debug, "zudizid::storage", "Batch inserted {} nodes", nodes.size());

  // A node flushed after its edges keeps them: entries are created only
  // when absent, and the stored keys are written from the current lists.
  IdLists out_lists, in_lists;
  out_lists.reserve(nodes.size());
  in_lists.reserve(nodes.size());
  {
    std::unique_lock out_guard(graph_.outgoing_adjacency().mu);
    std::unique_lock in_guard(graph_.incoming_adjacency().mu);
    for (const Node& n : nodes) {
      out_lists.emplace_back(n.id, graph_.outgoing_adjacency().map.try_emplace(n.id).first->second);
      in_lists.emplace_back(n.id, graph_.incoming_adjacency().map.try_emplace(n.id).first->second);
    }
  }
  if (auto r = graph_.storage()->db().apply_batch(adjacency_batch(out_lists, in_lists)); !r) {
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
  for (const Edge& e : edges) {
    auto bytes = e.to_msgpack();
    if (!bytes) return std::unexpected(std::move(bytes.error()));
    records.insert(std::string_view(e.id.to_string()),
                   std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
  }
  if (auto r = tree->apply_batch(std::move(records)); !r) return std::unexpected(DbError(r.error()));
  ZLOG(Debug, "zudizid::storage", "Batch inserted {} edges to edges tree", edges.size());

  // The endpoints' stored adjacency is written here as well, not only at
  // close: a crash or a drop without close must not lose these edges.
  IdLists out_lists, in_lists;
  {
    std::unique_lock out_guard(graph_.outgoing_adjacency().mu);
    std::unique_lock in_guard(graph_.incoming_adjacency().mu);
    std::unordered_map<Uuid, bool> seen_out, seen_in;
    for (const Edge& e : edges) {
      graph_.outgoing_adjacency().map[e.source].push_back(e.id);
      graph_.incoming_adjacency().map[e.target].push_back(e.id);
      seen_out.try_emplace(e.source, true);
      seen_in.try_emplace(e.target, true);
    }
    out_lists.reserve(seen_out.size());
    in_lists.reserve(seen_in.size());
    for (const auto& [id, _] : seen_out) out_lists.emplace_back(id, graph_.outgoing_adjacency().map[id]);
    for (const auto& [id, _] : seen_in) in_lists.emplace_back(id, graph_.incoming_adjacency().map[id]);
  }
  if (auto r = graph_.storage()->db().apply_batch(adjacency_batch(out_lists, in_lists)); !r) {
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
