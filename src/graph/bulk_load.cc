#include "graph/bulk_load.h"

#include <algorithm>
#include <iterator>
#include <mutex>
#include <string>
#include <unordered_map>
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

// Puts `failed` back in front of whatever `buffer` holds now.
template <class T>
void restore(std::vector<T>& buffer, std::vector<T>&& failed) {
  if (!buffer.empty()) failed.insert(failed.end(), std::make_move_iterator(buffer.begin()),
                                     std::make_move_iterator(buffer.end()));
  buffer = std::move(failed);
}

}  // namespace

BulkLoader::BulkLoader(const Graph& graph, std::uint64_t batch_size)
    : start_time_(std::chrono::steady_clock::now()), graph_(graph.clone()), batch_size_(batch_size) {
  const auto room = static_cast<std::size_t>(std::min(batch_size_, kMaxReserved));
  node_buffer_.reserve(room);
  edge_buffer_.reserve(room);
}

bool BulkLoader::add_node(Node node) {
  node_buffer_.push_back(std::move(node));
  return node_buffer_.size() >= batch_size_;
}

bool BulkLoader::add_edge(Edge edge) {
  edge_buffer_.push_back(std::move(edge));
  return edge_buffer_.size() >= batch_size_;
}

void BulkLoader::drop_last_node() {
  if (!node_buffer_.empty()) node_buffer_.pop_back();
}

void BulkLoader::drop_last_edge() {
  if (!edge_buffer_.empty()) edge_buffer_.pop_back();
}

DbResult<void> BulkLoader::flush_nodes() {
  if (node_buffer_.empty()) return {};
  std::vector<Node> nodes = std::exchange(node_buffer_, {});
  if (auto r = write_nodes(nodes); !r) {
    restore(node_buffer_, std::move(nodes));
    return r;
  }
  total_nodes_ += nodes.size();
  ZLOG(Debug, "zudizid::graph", "Flushed {} nodes (total: {})", nodes.size(), total_nodes_);
  return {};
}

// The records and the nodes' adjacency keys go in one atomic batch. A node
// flushed after its edges keeps them: its keys are written from the current
// in-memory lists, and the memory entries are created only when absent.
DbResult<void> BulkLoader::write_nodes(const std::vector<Node>& nodes) {
  std::lock_guard storage_guard(graph_.storage_write_lock());
  // The records these replace, when a secondary index has to drop their
  // entries.
  index::IndexManager* indexes = graph_.index_manager();
  std::vector<std::optional<Node>> replaced;
  if (indexes != nullptr && indexes->has_value_indexes()) {
    std::unordered_map<Uuid, const Node*> earlier;
    for (const Node& n : nodes) {
      if (auto it = earlier.find(n.id); it != earlier.end()) {
        replaced.emplace_back(*it->second);
      } else {
        // An undecodable record is overwritten as it is, with no entries.
        auto old = graph_.storage()->find_node(n.id);
        if (!old && old.error().kind() != DbError::Kind::Serialization) return std::unexpected(std::move(old.error()));
        replaced.push_back(old ? std::move(*old) : std::nullopt);
      }
      earlier[n.id] = &n;
    }
  }
  kelm::Batch batch;
  batch.writes.reserve(3 * nodes.size());
  for (const Node& n : nodes) {
    auto bytes = n.to_msgpack();
    if (!bytes) return std::unexpected(std::move(bytes.error()));
    std::string key = "node:";
    n.id.append_to(key);
    batch.insert(as_bytes(key), std::move(*bytes));
  }
  {
    // Only holders of storage_write_lock change the lists, so reading them
    // here and creating the entries after the write sees no interleaving.
    std::shared_lock out_guard(graph_.outgoing_adjacency().mu);
    std::shared_lock in_guard(graph_.incoming_adjacency().mu);
    static const std::vector<Uuid> kNone;
    auto list_of = [](const AdjacencyLock& adj, const Uuid& id) -> const std::vector<Uuid>& {
      auto it = adj.map.find(id);
      return it == adj.map.end() ? kNone : it->second;
    };
    for (const Node& n : nodes) {
      put_id_list(batch, "idx:out:", n.id, list_of(graph_.outgoing_adjacency(), n.id));
      put_id_list(batch, "idx:in:", n.id, list_of(graph_.incoming_adjacency(), n.id));
    }
  }
  if (auto r = graph_.storage()->db().apply_batch(std::move(batch)); !r) return std::unexpected(DbError(r.error()));
  ZLOG(Debug, "zudizid::storage", "Batch inserted {} nodes", nodes.size());
  ZLOG(Debug, "zudizid::storage", "Batch saved {} out indices and {} in indices", nodes.size(), nodes.size());
  {
    std::unique_lock out_guard(graph_.outgoing_adjacency().mu);
    std::unique_lock in_guard(graph_.incoming_adjacency().mu);
    for (const Node& n : nodes) {
      graph_.outgoing_adjacency().map.try_emplace(n.id);
      graph_.incoming_adjacency().map.try_emplace(n.id);
    }
  }
  for (const Node& n : nodes) graph_.labels().add(n.label, n.id);
  for (size_t i = 0; i < replaced.size(); ++i) {
    if (auto r = indexes->update_node(replaced[i] ? &*replaced[i] : nullptr, &nodes[i]); !r) return r;
  }
  graph_.graph_version().fetch_add(1);
  return {};
}

DbResult<void> BulkLoader::flush_edges() {
  if (edge_buffer_.empty()) return {};
  std::vector<Edge> edges = std::exchange(edge_buffer_, {});
  if (auto r = write_edges(edges); !r) {
    restore(edge_buffer_, std::move(edges));
    return r;
  }
  total_edges_ += edges.size();
  ZLOG(Debug, "zudizid::graph", "Flushed {} edges (total: {})", edges.size(), total_edges_);
  return {};
}

// The edge records, then the endpoints' stored adjacency (here as well, not
// only at close: a crash or a drop without close must not lose these edges),
// and only then the in-memory lists. A failure in between leaves memory
// untouched, so a retry rewrites the same records and lists.
DbResult<void> BulkLoader::write_edges(const std::vector<Edge>& edges) {
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

  // The lists as they will be: the current ones with this batch appended.
  std::unordered_map<Uuid, std::vector<Uuid>> out_lists, in_lists;
  out_lists.reserve(edges.size());
  in_lists.reserve(edges.size());
  {
    std::shared_lock out_guard(graph_.outgoing_adjacency().mu);
    std::shared_lock in_guard(graph_.incoming_adjacency().mu);
    auto grow = [](std::unordered_map<Uuid, std::vector<Uuid>>& lists, const AdjacencyLock& adj, const Uuid& node,
                   const Uuid& edge) {
      auto [it, fresh] = lists.try_emplace(node);
      if (fresh) {
        if (auto cur = adj.map.find(node); cur != adj.map.end()) it->second = cur->second;
      }
      it->second.push_back(edge);
    };
    for (const Edge& e : edges) {
      grow(out_lists, graph_.outgoing_adjacency(), e.source, e.id);
      grow(in_lists, graph_.incoming_adjacency(), e.target, e.id);
    }
  }
  kelm::Batch adjacency;
  adjacency.writes.reserve(out_lists.size() + in_lists.size());
  for (const auto& [id, ids] : out_lists) put_id_list(adjacency, "idx:out:", id, ids);
  for (const auto& [id, ids] : in_lists) put_id_list(adjacency, "idx:in:", id, ids);

  if (auto r = tree->apply_batch(std::move(records)); !r) return std::unexpected(DbError(r.error()));
  ZLOG(Debug, "zudizid::storage", "Batch inserted {} edges to edges tree", edges.size());
  if (auto r = graph_.storage()->db().apply_batch(std::move(adjacency)); !r) return std::unexpected(DbError(r.error()));
  {
    std::unique_lock out_guard(graph_.outgoing_adjacency().mu);
    std::unique_lock in_guard(graph_.incoming_adjacency().mu);
    for (auto& [id, ids] : out_lists) graph_.outgoing_adjacency().map[id] = std::move(ids);
    for (auto& [id, ids] : in_lists) graph_.incoming_adjacency().map[id] = std::move(ids);
  }
  graph_.graph_version().fetch_add(1);
  return {};
}

DbResult<void> BulkLoader::finish() {
  if (auto r = flush_nodes(); !r) return r;
  return flush_edges();
}

}  // namespace zudizid::graph
