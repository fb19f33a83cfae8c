// Applying writes as new record versions. Every caller holds the graph's
// storage_write_lock, so these run one at a time; the adjacency locks are
// taken outgoing before incoming and released before the storage writes
// that follow them.
#include <algorithm>

#include "common/log.h"
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
  return std::visit(
      Overloaded{
          [&](const WriteOp::PutNode& o) -> DbResult<void> {
            auto r = apply_put_node(o.node, o.skip_indexing);
            if (!r) return std::unexpected(std::move(r.error()));
            return {};
          },
          [&](const WriteOp::PutEdge& o) -> DbResult<void> {
            auto r = apply_put_edge(o.edge, o.timestamp);
            if (!r) return std::unexpected(std::move(r.error()));
            return {};
          },
          [&](const WriteOp::DeleteNode& o) { return apply_delete_node(o.node_id, next_timestamp_->load()); },
          [&](const WriteOp::DeleteEdge& o) { return mark_edge_deleted(o.edge_id, o.timestamp); },
          [&](const WriteOp::IndexProperty& o) {
            return storage_->add_to_property_index(o.property, o.value, o.node_id);
          },
          [&](const WriteOp::UnindexProperty& o) {
            return storage_->remove_from_property_index(o.property, o.value, o.node_id);
          },
      },
      op.op);
}

DbResult<void> Graph::apply_commit_writes(const transaction::CommitWrites& w, uint64_t t) {
  // Edge deletions first: deleting a node removes its edges, so an edge the
  // commit deletes by name must be closed before. A deletion whose target is
  // already gone (a concurrent writer removed it) has nothing left to do.
  for (const auto& [id, _] : w.deleted_edges) {
    auto present = storage_->edge_exists(id);
    if (!present) return std::unexpected(std::move(present.error()));
    if (!*present) {
      ZLOG(Debug, kTarget, "Edge {} already deleted", id.to_string());
      continue;
    }
    if (auto r = mark_edge_deleted(id, t); !r) return r;
  }
  for (const auto& [id, _] : w.deleted_nodes) {
    auto present = storage_->node_exists(id);
    if (!present) return std::unexpected(std::move(present.error()));
    if (*present) {
      if (auto r = apply_delete_node(id, t); !r) return r;
    } else {
      ZLOG(Debug, kTarget, "Node {} already deleted", id.to_string());
    }
    record_commit_timestamp(id, t);
  }
  for (const Node& n : w.nodes) {
    // A node's versions continue its history, also across a deletion: a
    // re-created id gets the next number instead of overwriting version 1.
    auto current = storage_->find_current_version(n.id);
    if (!current) return std::unexpected(std::move(current.error()));
    VersionedNode version{n.id, 1, t, n, std::nullopt, t, std::nullopt};
    std::optional<VersionedNode> superseded;
    if (*current) {
      auto previous = storage_->get_node_version(n.id, **current);
      if (!previous) return std::unexpected(std::move(previous.error()));
      version.version = previous->version + 1;
      version.prev_version = previous->version;
      if (!previous->valid_to) {
        previous->valid_to = t;
        superseded = std::move(*previous);
      }
    }
    if (auto r = storage_->commit_node_version(n, version, superseded ? &*superseded : nullptr); !r) return r;
    if (auto r = apply_put_node(n, true); !r) return std::unexpected(std::move(r.error()));
    record_commit_timestamp(n.id, t);
  }
  for (const Edge& e : w.edges) {
    if (auto r = apply_put_edge(e, t); !r) return std::unexpected(std::move(r.error()));
  }
  for (const Node& n : w.nodes) {
    if (auto r = index_node_properties(n); !r) return r;
  }
  return {};
}

DbResult<Uuid> Graph::apply_put_node(const Node& node, bool skip_indexing) {
  auto existed = storage_->node_exists(node.id);
  if (!existed) return std::unexpected(std::move(existed.error()));
  if (auto r = storage_->put_node(node); !r) return std::unexpected(std::move(r.error()));
  labels_->add(node.label, node.id);
  std::vector<Uuid> out, in;
  {
    std::unique_lock out_lock(outgoing_adjacency_->mu);
    std::unique_lock in_lock(incoming_adjacency_->mu);
    out = outgoing_adjacency_->map[node.id];
    in = incoming_adjacency_->map[node.id];
  }
  if (!skip_indexing) {
    if (auto r = index_node_properties(node); !r) return std::unexpected(std::move(r.error()));
    if (index_manager_) {
      for (const auto& [name, value] : node.properties) {
        if (auto index = index_manager_->find_by_label_property(node.label, name)) {
          if (auto r = index_manager_->index_node(*index, value.clone(), node.id); !r) {
            return std::unexpected(std::move(r.error()));
          }
        }
      }
    }
  }
  if (auto r = storage_->put_out_adjacency(node.id, out); !r) return std::unexpected(std::move(r.error()));
  if (auto r = storage_->put_in_adjacency(node.id, in); !r) return std::unexpected(std::move(r.error()));
  record_commit_timestamp(node.id, next_timestamp_->load());
  if (!*existed) graph_version_->fetch_add(1);
  return node.id;
}

DbResult<Uuid> Graph::apply_put_edge(const Edge& edge, uint64_t t) {
  for (const Uuid& end : {edge.source, edge.target}) {
    auto present = storage_->node_exists(end);
    if (!present) return std::unexpected(std::move(present.error()));
    if (!*present) return std::unexpected(DbError::node_not_found(end.to_string()));
  }
  if (auto r = storage_->put_edge(edge); !r) return std::unexpected(std::move(r.error()));
  if (auto r = storage_->put_edge_version(edge, t); !r) return std::unexpected(std::move(r.error()));
  if (auto r = write_adjacency_after([&] {
        add_once(outgoing_adjacency_->map[edge.source], edge.id);
        add_once(incoming_adjacency_->map[edge.target], edge.id);
      }, edge.source, edge.target);
      !r) {
    return std::unexpected(std::move(r.error()));
  }
  record_commit_timestamp(edge.source, t);
  record_commit_timestamp(edge.target, t);
  graph_version_->fetch_add(1);
  return edge.id;
}

DbResult<void> Graph::write_adjacency_after(const std::function<void()>& change, const Uuid& source,
                                            const Uuid& target) {
  std::vector<Uuid> out, in;
  {
    std::unique_lock out_lock(outgoing_adjacency_->mu);
    std::unique_lock in_lock(incoming_adjacency_->mu);
    change();
    if (auto it = outgoing_adjacency_->map.find(source); it != outgoing_adjacency_->map.end()) out = it->second;
    if (auto it = incoming_adjacency_->map.find(target); it != incoming_adjacency_->map.end()) in = it->second;
  }
  if (auto r = storage_->put_out_adjacency(source, out); !r) return r;
  return storage_->put_in_adjacency(target, in);
}

std::vector<Uuid> Graph::drop_from_list(AdjacencyLock& adjacency, const Uuid& node, const Uuid& edge) {
  std::unique_lock lock(adjacency.mu);
  auto it = adjacency.map.find(node);
  if (it == adjacency.map.end()) return {};
  std::erase(it->second, edge);
  return it->second;
}

DbResult<void> Graph::apply_delete_node(const Uuid& id, uint64_t close_at) {
  auto node = get_node(id);
  if (!node) return std::unexpected(std::move(node.error()));
  for (const auto& [name, value] : node->properties) {
    if (auto r = storage_->remove_from_property_index(name, value, id); !r) return r;
  }
  auto outgoing = get_outgoing_edges(id);
  if (!outgoing) return std::unexpected(std::move(outgoing.error()));
  auto incoming = get_incoming_edges(id);
  if (!incoming) return std::unexpected(std::move(incoming.error()));
  // The edges' versions close with the node, so reads as of a later time see
  // neither. A self-loop is in both lists; its second round finds nothing.
  for (const Edge& e : *outgoing) {
    if (auto r = storage_->close_edge_version(e.id, close_at); !r) return std::unexpected(std::move(r.error()));
    if (auto r = storage_->delete_edge(e.id); !r) return r;
    auto left = drop_from_list(*incoming_adjacency_, e.target, e.id);
    if (auto r = storage_->put_in_adjacency(e.target, left); !r) return r;
  }
  for (const Edge& e : *incoming) {
    if (auto r = storage_->close_edge_version(e.id, close_at); !r) return std::unexpected(std::move(r.error()));
    if (auto r = storage_->delete_edge(e.id); !r) return r;
    auto left = drop_from_list(*outgoing_adjacency_, e.source, e.id);
    if (auto r = storage_->put_out_adjacency(e.source, left); !r) return r;
  }
  // Close the node's current version before its record goes, so reads as of
  // a later time no longer find it alive.
  if (auto r = storage_->close_node_version(id, close_at); !r) return std::unexpected(std::move(r.error()));
  bool existed = false;
  if (auto r = storage_->remove_node(id, &existed); !r) return r;
  if (!existed) return std::unexpected(DbError::node_not_found(id.to_string()));
  labels_->remove(node->label, id);
  record_commit_timestamp(id, next_timestamp_->load());
  {
    std::unique_lock out_lock(outgoing_adjacency_->mu);
    std::unique_lock in_lock(incoming_adjacency_->mu);
    outgoing_adjacency_->map.erase(id);
    incoming_adjacency_->map.erase(id);
    graph_version_->fetch_add(1);
  }
  return {};
}

DbResult<void> Graph::mark_edge_deleted(const Uuid& id, uint64_t t) {
  auto edge = storage_->get_edge(id);
  if (!edge) return std::unexpected(std::move(edge.error()));
  auto closed = storage_->close_edge_version(id, t);
  if (!closed) return std::unexpected(std::move(closed.error()));
  if (!*closed) ZLOG(Debug, kTarget, "mark_edge_deleted: no MVCC record for edge {} (legacy)", id.to_string());
  if (auto r = storage_->delete_edge(id); !r) return r;
  if (auto r = write_adjacency_after([&] {
        if (auto it = outgoing_adjacency_->map.find(edge->source); it != outgoing_adjacency_->map.end()) {
          std::erase(it->second, id);
        }
        if (auto it = incoming_adjacency_->map.find(edge->target); it != incoming_adjacency_->map.end()) {
          std::erase(it->second, id);
        }
      }, edge->source, edge->target);
      !r) {
    return r;
  }
  record_commit_timestamp(edge->source, t);
  record_commit_timestamp(edge->target, t);
  graph_version_->fetch_add(1);
  ZLOG(Debug, kTarget, "Deleted edge {} ({} -> {})", id.to_string(), edge->source.to_string(),
       edge->target.to_string());
  return {};
}

void Graph::record_commit_timestamp(const Uuid& id, uint64_t t) {
  std::unique_lock lock(node_commit_timestamps_->mu);
  node_commit_timestamps_->map.insert_or_assign(id, t);
}

DbResult<void> Graph::index_node_properties(const Node& node) {
  for (const auto& [name, value] : node.properties) {
    if (auto r = storage_->add_to_property_index(name, value, node.id); !r) return r;
  }
  return {};
}

DbResult<void> Graph::flush_adjacency() {
  std::lock_guard write(storage_write_lock());
  std::shared_lock out_lock(outgoing_adjacency_->mu);
  std::shared_lock in_lock(incoming_adjacency_->mu);
  for (const auto& [id, list] : outgoing_adjacency_->map) {
    if (auto r = storage_->put_out_adjacency(id, list); !r) return r;
  }
  for (const auto& [id, list] : incoming_adjacency_->map) {
    if (auto r = storage_->put_in_adjacency(id, list); !r) return r;
  }
  ZLOG(Info, kTarget, "Flushed {} nodes to disk", outgoing_adjacency_->map.size());
  return {};
}

}  // namespace zudizid::graph
