// The handle's reads of the committed state.
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "common/log.h"
#include "graph/graph.h"
#include "storage/ordered_reads.h"

namespace zudizid::graph {

namespace {

constexpr const char* kTarget = "zudizid::graph";

// Reads the listed edges one point lookup at a time. An id whose record is
// gone (deleted after the list was copied) is skipped; any other failure
// ends the stream.
EdgeCursor listed_edges(std::shared_ptr<storage::Storage> storage, std::vector<Uuid> ids,
                        std::optional<std::string> type) {
  return EdgeCursor([storage = std::move(storage), ids = std::move(ids), type = std::move(type),
                     i = size_t{0}]() mutable -> std::optional<DbResult<Edge>> {
    while (i < ids.size()) {
      auto edge = storage->get_edge(ids[i++]);
      if (!edge) {
        if (edge.error().kind() == DbError::Kind::EdgeNotFound) continue;
        return edge;
      }
      if (type && edge->edge_type != *type) continue;
      return edge;
    }
    return std::nullopt;
  });
}

}  // namespace

DbResult<Node> Graph::node(const Uuid& id) const { return storage_->get_node(id); }

DbResult<Edge> Graph::edge(const Uuid& id) const { return storage_->get_edge(id); }

NodeCursor Graph::nodes() const { return storage_->node_records(); }

NodeCursor Graph::nodes_with_label(std::string_view label) const {
  if (!labels_->loaded()) {
    // The map could not be built: filter the full scan, whose failure is
    // then this read's failure.
    return NodeCursor([all = storage_->node_records(),
                       label = std::string(label)]() mutable -> std::optional<DbResult<Node>> {
      while (auto next = all.next()) {
        if (!*next || (*next)->label == label) return next;
      }
      return std::nullopt;
    });
  }
  // The ids come out ascending, as the records lie: one ordered pass reads
  // them (an id whose record is gone was deleted since).
  return NodeCursor([records = storage::node_records_of(*storage_, labels_->ids(label)),
                     label = std::string(label)]() mutable -> std::optional<DbResult<Node>> {
    while (auto node = records.next()) {
      if (!*node || (*node)->label == label) return node;
    }
    return std::nullopt;
  });
}

EdgeCursor Graph::edges() const { return storage_->edge_records(); }

std::vector<Uuid> Graph::listed_edge_ids(const Uuid& node, Direction direction) const {
  std::vector<Uuid> ids;
  auto append = [&](const AdjacencyLock& adjacency) {
    std::shared_lock lock(adjacency.mu);
    if (auto it = adjacency.map.find(node); it != adjacency.map.end()) {
      ids.insert(ids.end(), it->second.begin(), it->second.end());
    }
  };
  if (direction != Direction::Incoming) append(*outgoing_adjacency_);
  if (direction != Direction::Outgoing) append(*incoming_adjacency_);
  return ids;
}

EdgeCursor Graph::edges_of(const Uuid& node, Direction direction, std::optional<std::string> type) const {
  return listed_edges(storage_, listed_edge_ids(node, direction), std::move(type));
}

NeighbourCursor Graph::neighbours(const Uuid& node, Direction direction, std::optional<std::string> type) const {
  // Outgoing ids come first in the list; the count says where they end.
  std::vector<Uuid> ids = listed_edge_ids(node, direction == Direction::Incoming ? direction : Direction::Outgoing);
  const size_t outgoing = direction == Direction::Incoming ? 0 : ids.size();
  if (direction == Direction::Both) {
    auto incoming = listed_edge_ids(node, Direction::Incoming);
    ids.insert(ids.end(), incoming.begin(), incoming.end());
  }
  return NeighbourCursor([storage = storage_, ids = std::move(ids), type = std::move(type), outgoing,
                          i = size_t{0}]() mutable -> std::optional<DbResult<Neighbour>> {
    while (i < ids.size()) {
      const bool out = i < outgoing;
      auto edge = storage->get_edge(ids[i++]);
      if (!edge) {
        if (edge.error().kind() == DbError::Kind::EdgeNotFound) continue;
        return DbResult<Neighbour>(std::unexpected(std::move(edge.error())));
      }
      if (type && edge->edge_type != *type) continue;
      Uuid other = out ? edge->target : edge->source;
      return DbResult<Neighbour>(Neighbour{std::move(*edge), other});
    }
    return std::nullopt;
  });
}

DbResult<uint64_t> Graph::node_count() const { return storage_->count_node_records(); }

DbResult<uint64_t> Graph::edge_count() const { return storage_->count_edge_records(); }

// ------------------------------------------------- transaction host reads

DbResult<Node> Graph::get_node(const Uuid& id) { return storage_->get_node(id); }

DbResult<std::vector<Node>> Graph::get_nodes_by_label(std::string_view label) {
  return nodes_with_label(label).collect();
}

DbResult<Node> Graph::get_node_version_at(const Uuid& id, uint64_t t) {
  auto v = storage_->get_node_version_at(id, t);
  if (!v) return std::unexpected(std::move(v.error()));
  return std::move(v->node_data);
}

std::optional<uint64_t> Graph::last_commit_timestamp(const Uuid& id) {
  std::shared_lock lock(node_commit_timestamps_->mu);
  auto it = node_commit_timestamps_->map.find(id);
  if (it == node_commit_timestamps_->map.end()) return std::nullopt;
  return it->second;
}

std::optional<std::vector<Uuid>> Graph::indexed_node_ids(std::string_view label, std::string_view property,
                                                         const PropertyValue& value) {
  if (!index_manager_) return std::nullopt;
  return index_manager_->equal_ids(label, property, value);
}

DbResult<std::vector<Node>> Graph::scan_current_nodes() { return storage_->scan_current_nodes(); }

DbResult<std::vector<Uuid>> Graph::lookup_property_index(std::string_view property, const PropertyValue& value) {
  return storage_->lookup_property_index(property, value);
}

DbResult<std::vector<Edge>> Graph::scan_edges() { return storage_->scan_edges(); }

DbResult<Edge> Graph::get_edge(const Uuid& id) { return storage_->get_edge(id); }

DbResult<std::vector<Edge>> Graph::edges_listed(const AdjacencyLock& adjacency, const Uuid& id) const {
  std::vector<Uuid> ids;
  {
    std::shared_lock lock(adjacency.mu);
    auto it = adjacency.map.find(id);
    if (it != adjacency.map.end()) ids = it->second;
  }
  std::vector<Edge> edges;
  for (const Uuid& e : ids) {
    auto edge = storage_->get_edge(e);
    if (edge) {
      edges.push_back(std::move(*edge));
    } else if (edge.error().kind() == DbError::Kind::EdgeNotFound) {
      ZLOG(Debug, kTarget, "Edge {} is listed for node {} but has no record; left out", e.to_string(),
           id.to_string());
    } else {
      ZLOG(Warn, kTarget, "Edge {} of node {} left out: {}", e.to_string(), id.to_string(), edge.error().display());
    }
  }
  return edges;
}

DbResult<std::vector<Edge>> Graph::get_outgoing_edges(const Uuid& id) const {
  return edges_listed(*outgoing_adjacency_, id);
}

DbResult<std::vector<Edge>> Graph::get_incoming_edges(const Uuid& id) const {
  return edges_listed(*incoming_adjacency_, id);
}

}  // namespace zudizid::graph
