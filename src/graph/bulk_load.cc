#include "graph/bulk_load.h"

#include <algorithm>
#include <iterator>
#include <optional>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include "common/log.h"
#include "graph/adjacency_load.h"
#include "hnsw/hnsw/parallel.h"
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

// One write batch of `items`, each encoded by `encode(item)` into a
// DbResult of (key, value). The encoding runs in parallel pieces on the
// data-parallel pool when there is enough of it; the batch is the one the
// items inserted in order would make (a later key replaces an earlier one),
// and a failure is that of the first item in order that fails.
template <class T, class F>
DbResult<kelm::Batch> encode_batch(const std::vector<T>& items, F&& encode) {
  constexpr std::size_t kPiece = 1024;
  const std::size_t pieces = (items.size() + kPiece - 1) / kPiece;
  std::vector<std::pair<kelm::IVec, kelm::IVec>> encoded(items.size());
  std::vector<std::optional<DbError>> failures(pieces);
  auto run_piece = [&](std::size_t p) {
    for (std::size_t i = p * kPiece, end = std::min(items.size(), i + kPiece); i < end; ++i) {
      auto kv = encode(items[i]);
      if (!kv) {
        failures[p] = std::move(kv.error());
        return;
      }
      encoded[i] = std::move(*kv);
    }
  };
  if (pieces <= 1) {
    if (pieces == 1) run_piece(0);
  } else {
    vantor::parallel_for_each_index(pieces, run_piece);
  }
  for (auto& f : failures) {
    if (f) return std::unexpected(std::move(*f));
  }
  kelm::Batch batch;
  batch.writes.reserve(items.size());
  for (auto& [k, v] : encoded) batch.writes.insert_or_assign(std::move(k), std::move(v));
  return batch;
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

BulkLoader::~BulkLoader() {
  if (auto r = store_lists(); !r) {
    ZLOG(Error, "zudizid::graph", "Storing the adjacency lists of a bulk load failed: {}", r.error().display());
  }
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
  auto encoded = encode_batch(nodes, [](const Node& n) -> DbResult<std::pair<kelm::IVec, kelm::IVec>> {
    auto bytes = n.to_msgpack();
    if (!bytes) return std::unexpected(std::move(bytes.error()));
    std::string key = "node:";
    n.id.append_to(key);
    return std::pair{kelm::IVec::from_slice(key), kelm::IVec::from_vec(std::move(*bytes))};
  });
  if (!encoded) return std::unexpected(std::move(encoded.error()));
  kelm::Batch batch = std::move(*encoded);
  batch.writes.reserve(3 * nodes.size());
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
  for (const Node& n : nodes) {
    graph_.labels().add(n.label, n.id);
    unstored_out_.erase(n.id);  // stored just now, from memory
    unstored_in_.erase(n.id);
  }
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

// The edge records go in one atomic batch; only then do the in-memory lists
// grow. The endpoints' stored lists are not rewritten here (a long list would
// be rewritten by every flush that touches it): they are written at close,
// and an open that finds an edge record missing from the stored lists
// rebuilds them all from the "edges" tree, so a crash or a drop without
// close loses no flushed edge. A failure leaves memory untouched, so a retry
// rewrites the same records.
DbResult<void> BulkLoader::write_edges(const std::vector<Edge>& edges) {
  std::lock_guard storage_guard(graph_.storage_write_lock());

  auto tree = graph_.storage()->db().open_tree("edges");
  if (!tree) return std::unexpected(DbError(tree.error()));
  auto records = encode_batch(edges, [](const Edge& e) -> DbResult<std::pair<kelm::IVec, kelm::IVec>> {
    auto bytes = e.to_msgpack();
    if (!bytes) return std::unexpected(std::move(bytes.error()));
    return std::pair{kelm::IVec::from_slice(e.id.to_string()), kelm::IVec::from_vec(std::move(*bytes))};
  });
  if (!records) return std::unexpected(std::move(records.error()));
  if (auto r = tree->apply_batch(std::move(*records)); !r) return std::unexpected(DbError(r.error()));
  ZLOG(Debug, "zudizid::storage", "Batch inserted {} edges to edges tree", edges.size());
  {
    std::unique_lock out_guard(graph_.outgoing_adjacency().mu);
    std::unique_lock in_guard(graph_.incoming_adjacency().mu);
    for (const Edge& e : edges) {
      graph_.outgoing_adjacency().map[e.source].push_back(e.id);
      graph_.incoming_adjacency().map[e.target].push_back(e.id);
    }
  }
  for (const Edge& e : edges) {
    unstored_out_.insert(e.source);
    unstored_in_.insert(e.target);
  }
  graph_.graph_version().fetch_add(1);
  return {};
}

DbResult<void> BulkLoader::finish() {
  if (auto r = flush_nodes(); !r) return r;
  if (auto r = flush_edges(); !r) return r;
  return store_lists();
}

DbResult<void> BulkLoader::store_lists() {
  if (unstored_out_.empty() && unstored_in_.empty()) return {};
  std::lock_guard storage_guard(graph_.storage_write_lock());
  // Only holders of storage_write_lock change the lists: the copies stay
  // current while they are written.
  storage::AdjacencyMap out, in;
  {
    std::shared_lock out_guard(graph_.outgoing_adjacency().mu);
    std::shared_lock in_guard(graph_.incoming_adjacency().mu);
    auto copy = [](const std::unordered_set<Uuid>& ids, const AdjacencyLock& adj, storage::AdjacencyMap& into) {
      into.reserve(ids.size());
      for (const Uuid& id : ids) {
        if (auto it = adj.map.find(id); it != adj.map.end()) into.emplace(id, it->second);
      }
    };
    copy(unstored_out_, graph_.outgoing_adjacency(), out);
    copy(unstored_in_, graph_.incoming_adjacency(), in);
  }
  if (auto r = store_adjacency(*graph_.storage(), out, in); !r) return r;
  lists_stored();
  return {};
}

}  // namespace zudizid::graph
