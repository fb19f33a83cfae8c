// Storage: the multi-key writes, staged into a WriteSet. Each reads through
// the set, so later steps of one set see the earlier ones.
#include <algorithm>

#include "common/log.h"
#include "storage/storage.h"
#include "storage/storage_keys.h"
#include "storage/storage_lists.h"

namespace zudizid::storage {

namespace {

constexpr std::string_view kDefault = "";

template <class T>
DbResult<void> put_record(WriteSet& w, std::string_view tree, std::string_view key, const T& record) {
  auto bytes = record.to_msgpack();
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  return w.put(tree, key, std::move(*bytes));
}

}  // namespace

DbResult<std::optional<Node>> Storage::find_node(WriteSet& w, const Uuid& id) const {
  auto value = w.get(kDefault, keys::node(id));
  if (!value) return std::unexpected(std::move(value.error()));
  if (!*value) return std::optional<Node>{};
  common::msgpack::Reader reader((*value)->bytes());
  auto node = Node::from_msgpack(reader);
  if (!node) return std::unexpected(DbError::msgpack_decode(node.error().message));
  return std::optional<Node>(std::move(*node));
}

DbResult<bool> Storage::node_exists(WriteSet& w, const Uuid& id) const {
  auto value = w.get(kDefault, keys::node(id));
  if (!value) return std::unexpected(std::move(value.error()));
  return value->has_value();
}

DbResult<void> Storage::put_node(WriteSet& w, const Node& node) const {
  return put_record(w, kDefault, keys::node(node.id), node);
}

DbResult<bool> Storage::remove_node(WriteSet& w, const Uuid& id) const {
  auto present = node_exists(w, id);
  if (!present) return present;
  if (auto r = w.remove(kDefault, keys::node(id)); !r) return std::unexpected(std::move(r.error()));
  return *present;
}

DbResult<void> Storage::commit_node_version(WriteSet& w, const Node& node, const VersionedNode& version,
                                            const VersionedNode* superseded) const {
  if (superseded != nullptr) {
    if (auto r = put_record(w, kDefault, keys::node_version(version.id, superseded->version), *superseded); !r) {
      return r;
    }
  }
  if (auto r = put_record(w, kDefault, keys::node_version(version.id, version.version), version); !r) return r;
  if (auto r = w.put(kDefault, keys::node_current(version.id), records::encode_current_version(version.version)); !r) {
    return r;
  }

  const std::string versions_key = keys::node_versions(version.id);
  auto stored = w.get(kDefault, versions_key);
  if (!stored) return std::unexpected(std::move(stored.error()));
  std::vector<uint64_t> versions;
  if (*stored) {
    auto decoded = records::decode_version_list((*stored)->bytes());
    if (!decoded) return std::unexpected(std::move(decoded.error()));
    versions = std::move(*decoded);
  }
  if (std::find(versions.begin(), versions.end(), version.version) == versions.end()) {
    versions.push_back(version.version);
    std::sort(versions.begin(), versions.end(), std::greater<>());
  }
  if (auto r = w.put(kDefault, versions_key, records::encode_version_list(versions)); !r) return r;

  const std::string ts_key = keys::timestamp(version.timestamp);
  auto at_ts = w.id_list(ts_key);
  if (!at_ts) return std::unexpected(std::move(at_ts.error()));
  // Written back also when already listed.
  (*at_ts)->add_once(version.id);
  (*at_ts)->rewrite();
  return put_node(w, node);
}

DbResult<VersionedNode> Storage::get_node_version(WriteSet& w, const Uuid& id, uint64_t version) const {
  auto value = w.get(kDefault, keys::node_version(id, version));
  if (!value) return std::unexpected(std::move(value.error()));
  if (!*value) return std::unexpected(DbError::node_not_found(fmt::format("{}:v{}", id.to_string(), version)));
  return VersionedNode::from_msgpack((*value)->bytes());
}

DbResult<std::optional<uint64_t>> Storage::find_current_version(WriteSet& w, const Uuid& id) const {
  auto value = w.get(kDefault, keys::node_current(id));
  if (!value) return std::unexpected(std::move(value.error()));
  if (!*value) return std::optional<uint64_t>{};
  auto v = records::read_current_version((*value)->bytes());
  if (!v) return std::unexpected(DbError::message("Invalid version format"));
  return v;
}

DbResult<bool> Storage::close_node_version(WriteSet& w, const Uuid& id, uint64_t t) const {
  auto current = find_current_version(w, id);
  if (!current) return std::unexpected(std::move(current.error()));
  if (!*current) return false;
  auto record = get_node_version(w, id, **current);
  if (!record) return std::unexpected(std::move(record.error()));
  if (record->valid_to) return true;
  record->valid_to = t;
  if (auto r = put_record(w, kDefault, keys::node_version(id, record->version), *record); !r) {
    return std::unexpected(std::move(r.error()));
  }
  return true;
}

DbResult<std::optional<Edge>> Storage::find_edge(WriteSet& w, const Uuid& id) const {
  auto value = w.get(keys::kEdgesTree, keys::edge(id));
  if (!value) return std::unexpected(std::move(value.error()));
  if (!*value) return std::optional<Edge>{};
  common::msgpack::Reader reader((*value)->bytes());
  auto edge = Edge::from_msgpack(reader);
  if (!edge) return std::unexpected(DbError::msgpack_decode(edge.error().message));
  return std::optional<Edge>(std::move(*edge));
}

DbResult<bool> Storage::edge_exists(WriteSet& w, const Uuid& id) const {
  auto value = w.get(keys::kEdgesTree, keys::edge(id));
  if (!value) return std::unexpected(std::move(value.error()));
  return value->has_value();
}

DbResult<void> Storage::put_edge(WriteSet& w, const Edge& edge) const {
  return put_record(w, keys::kEdgesTree, keys::edge(edge.id), edge);
}

DbResult<void> Storage::delete_edge(WriteSet& w, const Uuid& id) const {
  return w.remove(keys::kEdgesTree, keys::edge(id));
}

DbResult<void> Storage::put_in_adjacency(WriteSet& w, const Uuid& node, const std::vector<Uuid>& edges) const {
  w.put_id_list(keys::in_adjacency(node), edges);
  return {};
}

DbResult<void> Storage::put_out_adjacency(WriteSet& w, const Uuid& node, const std::vector<Uuid>& edges) const {
  w.put_id_list(keys::out_adjacency(node), edges);
  return {};
}

DbResult<void> Storage::put_edge_version(WriteSet& w, const Edge& edge, uint64_t t) const {
  VersionedEdge version{edge.id, 1, t, edge, t, std::nullopt, std::nullopt};
  if (auto r = put_record(w, keys::kVersionedEdgesTree, keys::edge_version(edge.id, 1), version); !r) return r;
  return put_record(w, keys::kVersionedEdgesCurrentTree, keys::edge(edge.id), version);
}

DbResult<uint64_t> Storage::last_edge_version(WriteSet& w, const Uuid& id) const {
  // The versions of one edge are adjacent keys with zero-padded numbers:
  // the highest is the last stored one (staged versions are written over
  // a current one, which is found first).
  auto current = w.get(keys::kVersionedEdgesCurrentTree, keys::edge(id));
  if (!current) return std::unexpected(std::move(current.error()));
  if (*current) {
    auto version = VersionedEdge::from_msgpack((*current)->bytes());
    if (!version) return std::unexpected(std::move(version.error()));
    return version->version;
  }
  auto versions = tree(keys::kVersionedEdgesTree);
  if (!versions) return std::unexpected(std::move(versions.error()));
  const std::string prefix = keys::edge(id) + ":v";
  uint64_t last = 0;
  auto it = versions->scan_prefix(prefix);
  while (auto next = it.next()) {
    if (!*next) return std::unexpected(DbError((*next).error()));
    auto version = VersionedEdge::from_msgpack((**next).second.bytes());
    if (!version) return std::unexpected(std::move(version.error()));
    last = std::max(last, version->version);
  }
  return last;
}

DbResult<void> Storage::put_next_edge_version(WriteSet& w, const Edge& edge, uint64_t t) const {
  auto last = last_edge_version(w, edge.id);
  if (!last) return std::unexpected(std::move(last.error()));
  if (*last == 0) return put_edge_version(w, edge, t);
  if (auto closed = close_edge_version(w, edge.id, t); !closed) return std::unexpected(std::move(closed.error()));
  VersionedEdge version{edge.id, *last + 1, t, edge, t, std::nullopt, *last};
  if (auto r = put_record(w, keys::kVersionedEdgesTree, keys::edge_version(edge.id, version.version), version); !r) {
    return r;
  }
  return put_record(w, keys::kVersionedEdgesCurrentTree, keys::edge(edge.id), version);
}

DbResult<bool> Storage::close_edge_version(WriteSet& w, const Uuid& id, uint64_t t) const {
  auto value = w.get(keys::kVersionedEdgesCurrentTree, keys::edge(id));
  if (!value) return std::unexpected(std::move(value.error()));
  if (!*value) return false;
  auto version = VersionedEdge::from_msgpack((*value)->bytes());
  if (!version) return std::unexpected(std::move(version.error()));
  version->valid_to = t;
  if (auto r = put_record(w, keys::kVersionedEdgesTree, keys::edge_version(id, version->version), *version); !r) {
    return std::unexpected(std::move(r.error()));
  }
  if (auto r = w.remove(keys::kVersionedEdgesCurrentTree, keys::edge(id)); !r) {
    return std::unexpected(std::move(r.error()));
  }
  return true;
}

DbResult<void> Storage::add_to_property_index(WriteSet& w, std::string_view property, const PropertyValue& value,
                                              const Uuid& node) const {
  auto key = keys::property_index(property, value);
  if (!key) return {};
  auto list = w.id_list(*key);
  if (!list) return std::unexpected(std::move(list.error()));
  (*list)->add_once(node);
  return {};
}

DbResult<void> Storage::remove_from_property_index(WriteSet& w, std::string_view property,
                                                   const PropertyValue& value, const Uuid& node) const {
  auto key = keys::property_index(property, value);
  if (!key) return {};
  auto list = w.id_list(*key);
  if (!list) return std::unexpected(std::move(list.error()));
  if (!(*list)->present()) return {};
  (*list)->erase(node);
  // An unchanged list is written back as well; an empty one goes.
  if ((*list)->ids().empty()) {
    (*list)->remove();
  } else {
    (*list)->rewrite();
  }
  return {};
}

DbResult<void> Storage::raise_clock_past(uint64_t t) const {
  if (auto raised = store_counter_max(keys::kNextTimestamp, t == UINT64_MAX ? t : t + 1); !raised) {
    ZLOG(Warn, "zudizid::storage", "Stored writes at t={}, but raising {} failed: {}", t, keys::kNextTimestamp,
         raised.error().display());
  }
  return {};
}

}  // namespace zudizid::storage
