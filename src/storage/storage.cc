#include "storage/storage.h"

#include <algorithm>
#include <memory>
#include <fmt/format.h>
#include <fmt/ranges.h>

#include "common/log.h"
#include "kv/tree/leaf_reads.h"
#include "storage/node_fields.h"
#include "storage/ordered_reads.h"
#include "storage/storage_keys.h"
#include "storage/storage_lists.h"

namespace zudizid::storage {

namespace {

constexpr const char* kTarget = "zudizid::storage";

// With `only`, just the properties named there (node_fields.h).
DbResult<Node> decode_node(const kelm::IVec& value, const std::vector<std::string>* only = nullptr) {
  common::msgpack::Reader reader(value.bytes());
  auto node = only ? node_from_msgpack_with(reader, *only) : Node::from_msgpack(reader);
  if (!node) return std::unexpected(DbError::msgpack_decode(node.error().message));
  return std::move(*node);
}

std::string optional_text(const std::optional<uint64_t>& v) {
  return v ? fmt::format("Some({})", *v) : std::string("None");
}

}  // namespace

DbResult<void> Storage::put_node(const Node& node) const {
  WriteSet w(db_);
  if (auto r = put_node(w, node); !r) return r;
  return w.apply();
}

DbResult<Node> Storage::get_node(const Uuid& id) const {
  auto value = db_.get(keys::node(id));
  if (!value) return std::unexpected(DbError(value.error()));
  if (!*value) return std::unexpected(DbError::node_not_found(id.to_string()));
  return decode_node(**value);
}

DbResult<std::optional<Node>> Storage::find_node(const Uuid& id) const {
  auto value = db_.get(keys::node(id));
  if (!value) return std::unexpected(DbError(value.error()));
  if (!*value) return std::optional<Node>{};
  auto node = decode_node(**value);
  if (!node) return std::unexpected(std::move(node.error()));
  return std::optional<Node>(std::move(*node));
}

DbResult<bool> Storage::node_exists(const Uuid& id) const {
  auto value = db_.get(keys::node(id));
  if (!value) return std::unexpected(DbError(value.error()));
  return value->has_value();
}

DbResult<void> Storage::remove_node(const Uuid& id, bool* existed) const {
  auto old = db_.remove(keys::node(id));
  if (!old) return std::unexpected(DbError(old.error()));
  if (existed) *existed = old->has_value();
  return {};
}

DbResult<void> Storage::commit_node_version(const Node& node, const VersionedNode& version,
                                            const VersionedNode* superseded) const {
  WriteSet w(db_);
  if (auto r = commit_node_version(w, node, version, superseded); !r) return r;
  if (auto r = w.apply(); !r) return r;
  // The version is stored; the clock is also restored from the log and the
  // applier persists it after every batch, so a failure here is not the
  // commit's failure.
  (void)raise_clock_past(version.timestamp);
  ZLOG(Debug, kTarget, "Committed node {} v{} atomically", version.id.to_string(), version.version);
  return {};
}

DbResult<VersionedNode> Storage::get_node_version(const Uuid& id, uint64_t version) const {
  auto value = db_.get(keys::node_version(id, version));
  if (!value) return std::unexpected(DbError(value.error()));
  if (!*value) return std::unexpected(DbError::node_not_found(fmt::format("{}:v{}", id.to_string(), version)));
  return VersionedNode::from_msgpack((*value)->bytes());
}

DbResult<std::optional<uint64_t>> Storage::find_current_version(const Uuid& id) const {
  auto value = db_.get(keys::node_current(id));
  if (!value) return std::unexpected(DbError(value.error()));
  if (!*value) return std::optional<uint64_t>{};
  auto v = records::read_current_version((*value)->bytes());
  if (!v) return std::unexpected(DbError::message("Invalid version format"));
  return v;
}

DbResult<uint64_t> Storage::get_current_version(const Uuid& id) const {
  auto v = find_current_version(id);
  if (!v) return std::unexpected(std::move(v.error()));
  if (!*v) return std::unexpected(DbError::node_not_found(id.to_string()));
  return **v;
}

DbResult<VersionedNode> Storage::get_node_version_at(const Uuid& id, uint64_t t) const {
  auto stored = db_.get(keys::node_versions(id));
  if (!stored) return std::unexpected(DbError(stored.error()));
  if (!*stored) {
    ZLOG(Debug, kTarget, "No versions found for node {}", id.to_string());
    return std::unexpected(DbError::node_not_found(id.to_string()));
  }
  auto versions = records::decode_version_list((*stored)->bytes());
  if (!versions) return std::unexpected(std::move(versions.error()));
  ZLOG(Debug, kTarget, "Searching version for node {} at t={}, available versions: {}", id.to_string(), t,
       *versions);
  for (uint64_t v : *versions) {
    auto record = get_node_version(id, v);
    if (!record) return std::unexpected(std::move(record.error()));
    const bool valid = record->valid_from <= t && (!record->valid_to || t < *record->valid_to);
    ZLOG(Debug, kTarget, "  Checking v{}: valid_from={}, valid_to={}, is_valid={}", v, record->valid_from,
         optional_text(record->valid_to), valid);
    if (valid) {
      ZLOG(Debug, kTarget, "  \u2713 Found valid version: v{}", v);
      return std::move(*record);
    }
  }
  return std::unexpected(DbError::message(fmt::format("No version of node {} valid at timestamp {}", id.to_string(), t)));
}

DbResult<bool> Storage::close_node_version(const Uuid& id, uint64_t t) const {
  WriteSet w(db_);
  auto closed = close_node_version(w, id, t);
  if (!closed) return closed;
  if (auto r = w.apply(); !r) return std::unexpected(std::move(r.error()));
  return closed;
}

namespace {

// "node:{id}" only: the version keys share the prefix.
bool is_current_node_key(std::string_view text) {
  return text.find(":v") == std::string_view::npos && text.find(":current") == std::string_view::npos;
}

}  // namespace

Cursor<Node> Storage::node_records() const {
  auto it = std::make_shared<kelm::Iter>(db_.scan_prefix(keys::kNodePrefix));
  return Cursor<Node>([it]() -> std::optional<DbResult<Node>> {
    while (auto next = it->next()) {
      if (!*next) return DbResult<Node>(std::unexpected(DbError((*next).error())));
      const auto& [key, value] = **next;
      if (!is_current_node_key(key.view())) continue;
      return decode_node(value);
    }
    return std::nullopt;
  });
}

namespace {

// Calls `visit(key, value)` for each current node record after `after`
// (from the first when absent) in key order, until it returns false or an
// error.
template <class Visit>
DbResult<void> walk_node_records(const kelm::Db& db, const std::optional<std::string>& after, Visit&& visit) {
  kelm::Bound lo = after ? kelm::Bound::excluded(kelm::IVec::from_slice(*after))
                         : kelm::Bound::included(kelm::IVec::from_slice(keys::kNodePrefix));
  auto it = db.default_tree().range(std::move(lo), kelm::Bound::unbounded());
  while (auto next = it.next()) {
    if (!*next) return std::unexpected(DbError((*next).error()));
    const auto& [key, value] = **next;
    if (!key.view().starts_with(keys::kNodePrefix)) break;  // past the node records
    if (!is_current_node_key(key.view())) continue;
    DbResult<bool> more = visit(key, value);
    if (!more) return std::unexpected(std::move(more.error()));
    if (!*more) break;
  }
  return {};
}

// node_record_batch, with `only` as in decode_node.
DbResult<Storage::NodeBatch> record_batch(const kelm::Db& db, const std::optional<std::string>& after, size_t limit,
                                          const std::optional<std::string>& label,
                                          const std::vector<std::string>* only) {
  Storage::NodeBatch batch;
  if (limit == 0) return batch;
  auto walked = walk_node_records(db, after, [&](const kelm::IVec& key, const kelm::IVec& value) -> DbResult<bool> {
    auto node = decode_node(value, only);
    if (!node) return std::unexpected(std::move(node.error()));
    if (label && node->label != *label) return true;
    batch.nodes.push_back(std::move(*node));
    if (batch.nodes.size() < limit) return true;
    batch.resume_key = std::string(key.view());
    return false;
  });
  if (!walked) return std::unexpected(std::move(walked.error()));
  return batch;
}

}  // namespace

DbResult<Storage::NodeBatch> Storage::node_record_batch(const std::optional<std::string>& after, size_t limit,
                                                        const std::optional<std::string>& label) const {
  return record_batch(db_, after, limit, label, nullptr);
}

DbResult<Storage::NodeBatch> node_record_batch_with(const Storage& storage, const std::optional<std::string>& after,
                                                    size_t limit, const std::optional<std::string>& label,
                                                    const std::vector<std::string>& properties) {
  return record_batch(storage.db(), after, limit, label, &properties);
}

DbResult<void> visit_node_fields(const Storage& storage, const std::optional<std::string>& label,
                                 const std::vector<std::string>& properties,
                                 const std::function<DbResult<void>(const NodeFields&)>& visit) {
  NodeFields fields;
  return walk_node_records(storage.db(), std::nullopt, [&](const kelm::IVec&, const kelm::IVec& value) -> DbResult<bool> {
    common::msgpack::Reader reader(value.bytes());
    if (auto read = node_fields_from_msgpack(reader, properties, fields); !read)
      return std::unexpected(DbError::msgpack_decode(read.error().message));
    if (label && fields.label != *label) return true;
    if (auto r = visit(fields); !r) return std::unexpected(std::move(r.error()));
    return true;
  });
}

Cursor<Node> node_records_of(const Storage& storage, std::vector<Uuid> ids) {
  auto reader = std::make_shared<kelm::AscendingReader>(storage.db().default_tree());
  return Cursor<Node>([reader, ids = std::move(ids), i = size_t{0}]() mutable -> std::optional<DbResult<Node>> {
    while (i < ids.size()) {
      auto value = reader->get(kelm::Tree::as_bytes(keys::node(ids[i++])));
      if (!value) return DbResult<Node>(std::unexpected(DbError(value.error())));
      if (*value) return decode_node(**value);
    }
    return std::nullopt;
  });
}

DbResult<uint64_t> Storage::count_node_records() const {
  auto n = kelm::count_keys(db_.default_tree(), kelm::Tree::as_bytes(keys::kNodePrefix),
                            kelm::Tree::as_bytes(std::string_view("node;")), [](kelm::Bytes key) {
                              return is_current_node_key(
                                  std::string_view(reinterpret_cast<const char*>(key.data()), key.size()));
                            });
  if (!n) return std::unexpected(DbError(n.error()));
  return *n;
}

DbResult<std::vector<Node>> Storage::scan_current_nodes() const {
  auto nodes = node_records().collect();
  if (nodes) ZLOG(Debug, kTarget, "Retrieved {} nodes for export", nodes->size());
  return nodes;
}

DbResult<void> Storage::store_counter_max(std::string_view key, uint64_t candidate) const {
  auto r = db_.default_tree().fetch_and_update(
      kelm::Tree::as_bytes(key), [candidate](const std::optional<kelm::IVec>& old) -> std::optional<kelm::IVec> {
        uint64_t v = candidate;
        if (old) v = std::max(v, records::read_counter(old->bytes()));
        return kelm::IVec::from_vec(records::encode_counter(v));
      });
  if (!r) return std::unexpected(DbError(r.error()));
  return {};
}

DbResult<std::optional<uint64_t>> Storage::get_counter(const kelm::Db& db, std::string_view key) {
  auto value = db.get(key);
  if (!value) return std::unexpected(DbError(value.error()));
  if (!*value) return std::optional<uint64_t>{};
  return records::read_counter((*value)->bytes());
}

DbResult<kelm::Tree> Storage::tree(std::string_view name) const {
  auto t = db_.open_tree(name);
  if (!t) return std::unexpected(DbError(t.error()));
  return std::move(*t);
}

DbResult<std::optional<std::vector<Uuid>>> Storage::read_id_list(std::string_view key) const {
  auto value = db_.get(key);
  if (!value) return std::unexpected(DbError(value.error()));
  if (!*value) return std::optional<std::vector<Uuid>>{};
  auto ids = records::decode_id_list((*value)->bytes());
  if (!ids) return std::unexpected(std::move(ids.error()));
  return std::optional<std::vector<Uuid>>(std::move(*ids));
}

}  // namespace zudizid::storage
