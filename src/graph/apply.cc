// Applying writes as new record versions. Every caller holds the graph's
// storage_write_lock, so these run one at a time.
//
// Each write operation, and each commit as a whole, stages its store writes
// into one WriteSet that is applied as one engine batch at the end; reads
// along the way go through the set, so later steps see earlier ones. The
// in-memory state (adjacency, label map, commit timestamps, graph version)
// changes as the steps run, under the adjacency locks taken outgoing before
// incoming; the secondary indexes change once the batch is stored.
#include <algorithm>

#include "common/log.h"
#include "graph/adjacency_load.h"
#include "graph/graph.h"

namespace zudizid::graph {

namespace {

constexpr const char* kTarget = "zudizid::graph";

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

void add_once(std::vector<Uuid>& list, const Uuid& id) {
  if (std::find(list.begin(), list.end(), id) == list.end()) list.push_back(id);
}

}  // namespace

DbResult<void> Graph::apply_write_op(const WriteOp& op) {
  // Only holders of storage_write_lock raise graph_version, so a change
  // from here on is this write's own.
  const uint64_t version = graph_version_->load(std::memory_order_acquire);
  storage::WriteSet w(storage_->db());
  IndexChanges changes;
  std::optional<uint64_t> clock;
  auto staged = std::visit(
      Overloaded{
          [&](const WriteOp::PutNode& o) { return stage_put_node(w, o.node, o.skip_indexing, changes); },
          [&](const WriteOp::PutEdge& o) {
            clock = o.timestamp;
            return stage_put_edge(w, o.edge, o.timestamp);
          },
          [&](const WriteOp::DeleteNode& o) {
            return stage_delete_node(w, o.node_id, next_timestamp_->load(), changes);
          },
          [&](const WriteOp::DeleteEdge& o) { return stage_delete_edge(w, o.edge_id, o.timestamp); },
          [&](const WriteOp::IndexProperty& o) { return storage_->add_to_property_index(w, o.property, o.value, o.node_id); },
          [&](const WriteOp::UnindexProperty& o) {
            return storage_->remove_from_property_index(w, o.property, o.value, o.node_id);
          },
      },
      op.op);
  if (!staged) return staged;
  if (auto r = store(w, changes, clock); !r) return r;
  // As for a commit: the staging raised graph_version before the batch
  // landed, so raise it again now that it has, leaving stale every result
  // stamped in between.
  if (graph_version_->load(std::memory_order_acquire) != version) {
    graph_version_->fetch_add(1, std::memory_order_release);
  }
  return {};
}

DbResult<void> Graph::store(storage::WriteSet& w, const IndexChanges& changes, std::optional<uint64_t> clock) {
  if (auto r = w.apply(); !r) return r;
  if (clock) (void)storage_->raise_clock_past(*clock);
  if (index_manager_) {
    for (const auto& [old, now] : changes) {
      if (auto r = index_manager_->update_node(old ? &*old : nullptr, now ? &*now : nullptr); !r) return r;
    }
  }
  return {};
}

DbResult<void> Graph::apply_commit_writes(const transaction::CommitWrites& c, uint64_t t) {
  storage::WriteSet w(storage_->db());
  IndexChanges changes;
  // Edge deletions first: deleting a node removes its edges, so an edge the
  // commit deletes by name must be closed before. A deletion whose target is
  // already gone (a concurrent writer removed it) has nothing left to do.
  for (const auto& [id, _] : c.deleted_edges) {
    auto present = storage_->edge_exists(w, id);
    if (!present) return std::unexpected(std::move(present.error()));
    if (!*present) {
      ZLOG(Debug, kTarget, "Edge {} already deleted", id.to_string());
      continue;
    }
    if (auto r = stage_delete_edge(w, id, t); !r) return r;
  }
  for (const auto& [id, _] : c.deleted_nodes) {
    auto present = storage_->node_exists(w, id);
    if (!present) return std::unexpected(std::move(present.error()));
    if (*present) {
      if (auto r = stage_delete_node(w, id, t, changes); !r) return r;
    } else {
      ZLOG(Debug, kTarget, "Node {} already deleted", id.to_string());
    }
    record_commit_timestamp(id, t);
  }
  // The record each written node replaces, for its index entries.
  std::vector<std::optional<Node>> replaced;
  bool creates_node = false;
  for (const Node& n : c.nodes) {
    auto old = storage_->find_node(w, n.id);
    if (!old) return std::unexpected(std::move(old.error()));
    // A node's versions continue its history, also across a deletion: a
    // re-created id gets the next number instead of overwriting version 1.
    auto current = storage_->find_current_version(w, n.id);
    if (!current) return std::unexpected(std::move(current.error()));
    VersionedNode version{n.id, 1, t, n, std::nullopt, t, std::nullopt};
    std::optional<VersionedNode> superseded;
    if (*current) {
      auto previous = storage_->get_node_version(w, n.id, **current);
      if (!previous) return std::unexpected(std::move(previous.error()));
      version.version = previous->version + 1;
      version.prev_version = previous->version;
      if (!previous->valid_to) {
        previous->valid_to = t;
        superseded = std::move(*previous);
      }
    }
    if (auto r = storage_->commit_node_version(w, n, version, superseded ? &*superseded : nullptr); !r) return r;
    // commit_node_version has staged "node:{id}" already; whether the node
    // is new comes from the lookup before it.
    creates_node |= !old->has_value();
    if (auto r = stage_node_entries(w, n, old->has_value()); !r) return r;
    if (*old && (*old)->label != n.label) labels_->remove((*old)->label, n.id);
    record_commit_timestamp(n.id, t);
    replaced.push_back(std::move(*old));
  }
  for (const Edge& e : c.edges) {
    if (auto r = stage_put_edge(w, e, t); !r) return r;
  }
  for (size_t i = 0; i < c.nodes.size(); ++i) {
    const Node& n = c.nodes[i];
    if (auto r = stage_property_index(w, replaced[i] ? &*replaced[i] : nullptr, n); !r) return r;
    changes.emplace_back(std::move(replaced[i]), n);
  }
  if (auto r = store(w, changes, t); !r) return r;
  // The staging steps raised graph_version before the batch landed; a reader
  // that loaded the raised value and then read the store as it was would
  // stamp a stale result with it. Raising it again once the batch is stored
  // leaves every result computed before this point stale. A commit that
  // only rewrites existing nodes changes no node or edge the algorithms see.
  if (creates_node || !c.edges.empty() || !c.deleted_nodes.empty() || !c.deleted_edges.empty()) {
    graph_version_->fetch_add(1, std::memory_order_release);
  }
  return {};
}

DbResult<void> Graph::stage_node_record(storage::WriteSet& w, const Node& node, bool existed) {
  if (auto r = storage_->put_node(w, node); !r) return r;
  return stage_node_entries(w, node, existed);
}

DbResult<void> Graph::stage_node_entries(storage::WriteSet& w, const Node& node, bool existed) {
  labels_->add(node.label, node.id);
  std::vector<Uuid> out, in;
  {
    std::unique_lock out_lock(outgoing_adjacency_->mu);
    std::unique_lock in_lock(incoming_adjacency_->mu);
    out = outgoing_adjacency_->map[node.id];
    in = incoming_adjacency_->map[node.id];
  }
  if (auto r = storage_->put_out_adjacency(w, node.id, out); !r) return r;
  if (auto r = storage_->put_in_adjacency(w, node.id, in); !r) return r;
  record_commit_timestamp(node.id, next_timestamp_->load());
  if (!existed) graph_version_->fetch_add(1);
  return {};
}

DbResult<void> Graph::stage_property_index(storage::WriteSet& w, const Node* old, const Node& node) {
  // The replaced record's entries go first: a new value may share its key
  // text with an old one ("42" and 42), and then its entry must stay.
  if (old != nullptr) {
    for (const auto& [name, value] : old->properties) {
      auto now = node.properties.find(name);
      if (now != node.properties.end() && now->second == value) continue;
      if (auto r = storage_->remove_from_property_index(w, name, value, node.id); !r) return r;
    }
  }
  for (const auto& [name, value] : node.properties) {
    if (auto r = storage_->add_to_property_index(w, name, value, node.id); !r) return r;
  }
  return {};
}

DbResult<void> Graph::stage_put_node(storage::WriteSet& w, const Node& node, bool skip_indexing,
                                     IndexChanges& changes) {
  auto old = storage_->find_node(w, node.id);
  bool existed = true;
  if (old) {
    existed = old->has_value();
  } else if (old.error().kind() == DbError::Kind::Serialization) {
    old = std::optional<Node>{};  // an undecodable record is replaced as it is
  } else {
    return std::unexpected(std::move(old.error()));
  }
  if (auto r = stage_node_record(w, node, existed); !r) return r;
  if (*old && (*old)->label != node.label) labels_->remove((*old)->label, node.id);
  if (!skip_indexing) {
    if (auto r = stage_property_index(w, *old ? &**old : nullptr, node); !r) return r;
    changes.emplace_back(std::move(*old), node);
  }
  return {};
}

DbResult<void> Graph::stage_put_edge(storage::WriteSet& w, const Edge& edge, uint64_t t) {
  for (const Uuid& end : {edge.source, edge.target}) {
    auto present = storage_->node_exists(w, end);
    if (!present) return std::unexpected(std::move(present.error()));
    if (!*present) return std::unexpected(DbError::node_not_found(end.to_string()));
  }
  if (auto r = storage_->put_edge(w, edge); !r) return r;
  if (auto r = storage_->put_next_edge_version(w, edge, t); !r) return r;
  if (auto r = stage_adjacency_after([&] {
        add_once(outgoing_adjacency_->map[edge.source], edge.id);
        add_once(incoming_adjacency_->map[edge.target], edge.id);
      }, w, edge.source, edge.target);
      !r) {
    return r;
  }
  record_commit_timestamp(edge.source, t);
  record_commit_timestamp(edge.target, t);
  graph_version_->fetch_add(1);
  return {};
}

DbResult<void> Graph::stage_adjacency_after(const std::function<void()>& change, storage::WriteSet& w,
                                            const Uuid& source, const Uuid& target) {
  std::vector<Uuid> out, in;
  {
    std::unique_lock out_lock(outgoing_adjacency_->mu);
    std::unique_lock in_lock(incoming_adjacency_->mu);
    change();
    if (auto it = outgoing_adjacency_->map.find(source); it != outgoing_adjacency_->map.end()) out = it->second;
    if (auto it = incoming_adjacency_->map.find(target); it != incoming_adjacency_->map.end()) in = it->second;
  }
  if (auto r = storage_->put_out_adjacency(w, source, out); !r) return r;
  return storage_->put_in_adjacency(w, target, in);
}

std::vector<Uuid> Graph::drop_from_list(AdjacencyLock& adjacency, const Uuid& node, const Uuid& edge) {
  std::unique_lock lock(adjacency.mu);
  auto it = adjacency.map.find(node);
  if (it == adjacency.map.end()) return {};
  std::erase(it->second, edge);
  return it->second;
}

std::vector<Edge> Graph::staged_edges(storage::WriteSet& w, const AdjacencyLock& adjacency, const Uuid& node) {
  std::vector<Uuid> ids;
  {
    std::shared_lock lock(adjacency.mu);
    if (auto it = adjacency.map.find(node); it != adjacency.map.end()) ids = it->second;
  }
  std::vector<Edge> edges;
  for (const Uuid& id : ids) {
    auto edge = storage_->find_edge(w, id);
    if (edge && *edge) {
      edges.push_back(std::move(**edge));
    } else if (!edge) {
      ZLOG(Warn, kTarget, "Edge {} of node {} left out: {}", id.to_string(), node.to_string(),
           edge.error().display());
    }
  }
  return edges;
}

DbResult<void> Graph::stage_delete_node(storage::WriteSet& w, const Uuid& id, uint64_t close_at,
                                        IndexChanges& changes) {
  auto node = storage_->find_node(w, id);
  if (!node) return std::unexpected(std::move(node.error()));
  if (!*node) return std::unexpected(DbError::node_not_found(id.to_string()));
  for (const auto& [name, value] : (*node)->properties) {
    if (auto r = storage_->remove_from_property_index(w, name, value, id); !r) return r;
  }
  // Both lists are read before any edge goes. The edges' versions close
  // with the node, so reads as of a later time see neither. A self-loop is
  // in both lists; its second round finds nothing left to close.
  const std::vector<Edge> outgoing = staged_edges(w, *outgoing_adjacency_, id);
  const std::vector<Edge> incoming = staged_edges(w, *incoming_adjacency_, id);
  for (const Edge& e : outgoing) {
    if (auto r = storage_->close_edge_version(w, e.id, close_at); !r) return std::unexpected(std::move(r.error()));
    if (auto r = storage_->delete_edge(w, e.id); !r) return r;
    auto left = drop_from_list(*incoming_adjacency_, e.target, e.id);
    if (auto r = storage_->put_in_adjacency(w, e.target, left); !r) return r;
  }
  for (const Edge& e : incoming) {
    if (auto r = storage_->close_edge_version(w, e.id, close_at); !r) return std::unexpected(std::move(r.error()));
    if (auto r = storage_->delete_edge(w, e.id); !r) return r;
    auto left = drop_from_list(*outgoing_adjacency_, e.source, e.id);
    if (auto r = storage_->put_out_adjacency(w, e.source, left); !r) return r;
  }
  // Close the node's current version before its record goes, so reads as of
  // a later time no longer find it alive.
  if (auto r = storage_->close_node_version(w, id, close_at); !r) return std::unexpected(std::move(r.error()));
  if (auto r = storage_->remove_node(w, id); !r) return std::unexpected(std::move(r.error()));
  labels_->remove((*node)->label, id);
  record_commit_timestamp(id, next_timestamp_->load());
  {
    std::unique_lock out_lock(outgoing_adjacency_->mu);
    std::unique_lock in_lock(incoming_adjacency_->mu);
    outgoing_adjacency_->map.erase(id);
    incoming_adjacency_->map.erase(id);
    graph_version_->fetch_add(1);
  }
  changes.emplace_back(std::move(*node), std::nullopt);
  return {};
}

DbResult<void> Graph::stage_delete_edge(storage::WriteSet& w, const Uuid& id, uint64_t t) {
  auto edge = storage_->find_edge(w, id);
  if (!edge) return std::unexpected(std::move(edge.error()));
  if (!*edge) return std::unexpected(DbError::edge_not_found(id.to_string()));
  const Uuid source = (*edge)->source;
  const Uuid target = (*edge)->target;
  auto closed = storage_->close_edge_version(w, id, t);
  if (!closed) return std::unexpected(std::move(closed.error()));
  if (!*closed) ZLOG(Debug, kTarget, "mark_edge_deleted: no MVCC record for edge {} (legacy)", id.to_string());
  if (auto r = storage_->delete_edge(w, id); !r) return r;
  if (auto r = stage_adjacency_after([&] {
        if (auto it = outgoing_adjacency_->map.find(source); it != outgoing_adjacency_->map.end()) {
          std::erase(it->second, id);
        }
        if (auto it = incoming_adjacency_->map.find(target); it != incoming_adjacency_->map.end()) {
          std::erase(it->second, id);
        }
      }, w, source, target);
      !r) {
    return r;
  }
  record_commit_timestamp(source, t);
  record_commit_timestamp(target, t);
  graph_version_->fetch_add(1);
  ZLOG(Debug, kTarget, "Deleted edge {} ({} -> {})", id.to_string(), source.to_string(), target.to_string());
  return {};
}

void Graph::record_commit_timestamp(const Uuid& id, uint64_t t) {
  std::unique_lock lock(node_commit_timestamps_->mu);
  node_commit_timestamps_->map.insert_or_assign(id, t);
}

DbResult<void> Graph::flush_adjacency() {
  std::lock_guard write(storage_write_lock());
  std::shared_lock out_lock(outgoing_adjacency_->mu);
  std::shared_lock in_lock(incoming_adjacency_->mu);
  if (auto r = store_adjacency(*storage_, outgoing_adjacency_->map, incoming_adjacency_->map); !r) return r;
  ZLOG(Info, kTarget, "Flushed {} nodes to disk", outgoing_adjacency_->map.size());
  return {};
}

}  // namespace zudizid::graph
