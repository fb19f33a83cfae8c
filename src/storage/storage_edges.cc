// Storage: edges, edge versions, adjacency lists, embeddings and the
// property index.
#include <algorithm>
#include <memory>

#include "common/log.h"
#include "kv/tree/leaf_reads.h"
#include "storage/storage.h"
#include "storage/storage_keys.h"
#include "storage/storage_lists.h"

namespace zudizid::storage {

namespace {

constexpr const char* kTarget = "zudizid::storage";

std::string_view as_text(const std::vector<uint8_t>& v) {
  return {reinterpret_cast<const char*>(v.data()), v.size()};
}

DbResult<Edge> decode_edge(const kelm::IVec& value) {
  common::msgpack::Reader reader(value.bytes());
  auto edge = Edge::from_msgpack(reader);
  if (!edge) return std::unexpected(DbError::msgpack_decode(edge.error().message));
  return std::move(*edge);
}

template <class T>
DbResult<void> insert_record(const kelm::Tree& tree, std::string_view key, const T& record) {
  auto bytes = record.to_msgpack();
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  if (auto r = tree.insert(key, as_text(*bytes)); !r) return std::unexpected(DbError(r.error()));
  return {};
}

}  // namespace

DbResult<void> Storage::put_edge(const Edge& edge) const {
  WriteSet w(db_);
  if (auto r = put_edge(w, edge); !r) return r;
  return w.apply();
}

DbResult<Edge> Storage::get_edge(const Uuid& id) const {
  auto edges = tree(keys::kEdgesTree);
  if (!edges) return std::unexpected(std::move(edges.error()));
  auto value = edges->get(keys::edge(id));
  if (!value) return std::unexpected(DbError(value.error()));
  if (!*value) return std::unexpected(DbError::edge_not_found(id.to_string()));
  return decode_edge(**value);
}

DbResult<bool> Storage::edge_exists(const Uuid& id) const {
  auto edges = tree(keys::kEdgesTree);
  if (!edges) return std::unexpected(std::move(edges.error()));
  auto value = edges->get(keys::edge(id));
  if (!value) return std::unexpected(DbError(value.error()));
  return value->has_value();
}

DbResult<void> Storage::delete_edge(const Uuid& id) const {
  WriteSet w(db_);
  if (auto r = delete_edge(w, id); !r) return r;
  return w.apply();
}

Cursor<Edge> Storage::edge_records() const {
  auto edges = tree(keys::kEdgesTree);
  if (!edges) return Cursor<Edge>::failed(std::move(edges.error()));
  auto it = std::make_shared<kelm::Iter>(edges->iter());
  return Cursor<Edge>([it]() -> std::optional<DbResult<Edge>> {
    auto next = it->next();
    if (!next) return std::nullopt;
    if (!*next) return DbResult<Edge>(std::unexpected(DbError((*next).error())));
    return decode_edge((**next).second);
  });
}

DbResult<uint64_t> Storage::count_edge_records() const {
  auto edges = tree(keys::kEdgesTree);
  if (!edges) return std::unexpected(std::move(edges.error()));
  auto n = kelm::count_keys(*edges, {}, {});
  if (!n) return std::unexpected(DbError(n.error()));
  return *n;
}

DbResult<std::vector<Edge>> Storage::scan_edges() const { return edge_records().collect(); }

DbResult<Adjacency> Storage::load_adjacency() const {
  auto edges = scan_edges();
  if (!edges) return std::unexpected(std::move(edges.error()));
  Adjacency adj;
  for (const Edge& e : *edges) {
    adj.outgoing[e.source].push_back(e.id);
    adj.incoming[e.target].push_back(e.id);
  }
  return adj;
}

DbResult<void> Storage::put_in_adjacency(const Uuid& node, const std::vector<Uuid>& edges) const {
  WriteSet w(db_);
  if (auto r = put_in_adjacency(w, node, edges); !r) return r;
  return w.apply();
}

DbResult<void> Storage::put_out_adjacency(const Uuid& node, const std::vector<Uuid>& edges) const {
  WriteSet w(db_);
  if (auto r = put_out_adjacency(w, node, edges); !r) return r;
  return w.apply();
}

DbResult<void> Storage::put_edge_version(const Edge& edge, uint64_t t) const {
  WriteSet w(db_);
  if (auto r = put_edge_version(w, edge, t); !r) return r;
  if (auto r = w.apply(); !r) return r;
  // Both version records are stored; the clock is persisted by the applier
  // after every batch as well, so a failure here is only logged.
  return raise_clock_past(t);
}

DbResult<bool> Storage::close_edge_version(const Uuid& id, uint64_t t) const {
  WriteSet w(db_);
  auto closed = close_edge_version(w, id, t);
  if (!closed) return closed;
  if (auto r = w.apply(); !r) return std::unexpected(std::move(r.error()));
  return closed;
}

DbResult<void> Storage::put_node_embedding(const Embedding& e) const {
  auto t = tree(keys::kEmbeddingsTree);
  if (!t) return std::unexpected(std::move(t.error()));
  return insert_record(*t, keys::node_embedding(e.node_id, e.model), e);
}

DbResult<void> Storage::put_edge_embedding(const EdgeEmbedding& e) const {
  auto t = tree(keys::kEmbeddingsTree);
  if (!t) return std::unexpected(std::move(t.error()));
  return insert_record(*t, keys::edge_embedding(e.edge_id, e.model), e);
}

DbResult<void> Storage::put_path_reference_embedding(const PathReferenceEmbedding& e) const {
  if (auto r = check_path_reference_vector(e.vector); !r) return r;
  auto key = keys::path_reference(e.name, e.node_model, e.edge_model);
  if (!key) return std::unexpected(std::move(key.error()));
  auto t = tree(keys::kPathRefEmbeddingsTree);
  if (!t) return std::unexpected(std::move(t.error()));
  return insert_record(*t, *key, e);
}

DbResult<void> Storage::add_to_property_index(std::string_view property, const PropertyValue& value,
                                              const Uuid& node) const {
  WriteSet w(db_);
  if (auto r = add_to_property_index(w, property, value, node); !r) return r;
  return w.apply();
}

DbResult<void> Storage::remove_from_property_index(std::string_view property, const PropertyValue& value,
                                                   const Uuid& node) const {
  WriteSet w(db_);
  if (auto r = remove_from_property_index(w, property, value, node); !r) return r;
  return w.apply();
}

DbResult<std::vector<Uuid>> Storage::property_index_ids(std::string_view property, const PropertyValue& value) const {
  auto key = keys::property_index(property, value);
  if (!key) return std::vector<Uuid>{};
  auto ids = read_id_list(*key);
  if (!ids) return std::unexpected(std::move(ids.error()));
  return ids->value_or(std::vector<Uuid>{});
}

DbResult<std::vector<Uuid>> Storage::lookup_property_index(std::string_view property,
                                                           const PropertyValue& value) const {
  auto ids = property_index_ids(property, value);
  if (!ids) return ids;
  std::vector<Uuid> kept;
  for (const Uuid& id : *ids) {
    auto node = get_node(id);
    if (!node) {
      if (node.error().kind() == DbError::Kind::NodeNotFound) continue;  // deleted since
      return std::unexpected(std::move(node.error()));
    }
    auto it = node->properties.find(std::string(property));
    if (it != node->properties.end() && it->second == value) kept.push_back(id);
  }
  return kept;
}

}  // namespace zudizid::storage
