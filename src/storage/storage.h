// Storage: the graph's records laid out under keys in the key-value engine's
// trees (key texts in storage/storage_keys.h, list and counter values in
// storage/storage_lists.h, records in storage/node.h and storage/versioned.h).
//
// The object holds the engine handle and the open profile byte and nothing
// else; every operation reads and writes the trees and keeps no state
// between calls, so one Storage is shared by every user of an open database.
// Named trees are opened per operation (the engine keeps them open).
//
// Failures: engine errors become DbError::Storage unchanged; record codec
// failures DbError::Serialization; not-found cases as documented per call.
//
// Concurrency: no locks of its own; every call is safe from any thread.
// commit_node_version and the property-index writers are read-modify-write
// sequences whose reads lie outside their write: callers run such writes for
// one node, one timestamp or one index key one at a time (the graph's
// storage write lock does this).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "kv/db.h"
#include "storage/cursor.h"
#include "storage/db_error.h"
#include "storage/node.h"
#include "storage/property_value.h"
#include "storage/versioned.h"
#include "storage/write_set.h"

namespace zudizid::storage {

using AdjacencyMap = std::unordered_map<Uuid, std::vector<Uuid>>;

struct Adjacency {
  AdjacencyMap outgoing;  // source -> edge ids
  AdjacencyMap incoming;  // target -> edge ids
};

class Storage {
 public:
  // `profile`: 0 default, 1 mobile, 2 server.
  explicit Storage(kelm::Db db, uint8_t profile = 0) : db_(std::move(db)), profile_(profile) {}

  const kelm::Db& db() const { return db_; }
  uint8_t profile() const { return profile_; }

  // ---- current node records and versions
  // "node:{}" = the record; no version keys.
  DbResult<void> put_node(const Node& node) const;
  // The current record; NodeNotFound when absent.
  DbResult<Node> get_node(const Uuid& id) const;
  // The current record, or nullopt when there is none.
  DbResult<std::optional<Node>> find_node(const Uuid& id) const;
  DbResult<bool> node_exists(const Uuid& id) const;
  DbResult<void> remove_node(const Uuid& id, bool* existed) const;
  // One version in one atomic batch: `superseded` (the closed previous
  // version, when given), `version`, the current pointer, the version list,
  // the "ts:{}" list and "node:{}"; then raises "meta:next_timestamp" to
  // version.timestamp + 1. The batch is the durable effect: a failure of the
  // clock update after it is logged, not returned.
  DbResult<void> commit_node_version(const Node& node, const VersionedNode& version,
                                     const VersionedNode* superseded) const;
  DbResult<VersionedNode> get_node_version(const Uuid& id, uint64_t version) const;
  // NodeNotFound when absent; "Invalid version format" unless 8 bytes.
  DbResult<uint64_t> get_current_version(const Uuid& id) const;
  // As get_current_version, with an absent pointer as nullopt.
  DbResult<std::optional<uint64_t>> find_current_version(const Uuid& id) const;
  // The first listed version (highest first) valid at `t`.
  DbResult<VersionedNode> get_node_version_at(const Uuid& id, uint64_t t) const;
  // Closes the node's current version at `t` (valid_to = t) unless it is
  // already closed; false when the node has no version history.
  DbResult<bool> close_node_version(const Uuid& id, uint64_t t) const;
  // Every current node record, in key order.
  DbResult<std::vector<Node>> scan_current_nodes() const;
  // The same records streamed, one decoded per step.
  Cursor<Node> node_records() const;
  // How many current node records there are; reads keys only.
  DbResult<uint64_t> count_node_records() const;
  // Up to `limit` current node records in key order, starting after the key
  // `after` (from the first "node:" key when absent); with `label`, only
  // records of that label (byte for byte) are taken, and only those count.
  // `resume_key` is the key of the last record read when the batch is full,
  // absent when the records ran out; a failed batch is discarded whole.
  struct NodeBatch {
    std::vector<Node> nodes;
    std::optional<std::string> resume_key;
  };
  DbResult<NodeBatch> node_record_batch(const std::optional<std::string>& after, size_t limit,
                                        const std::optional<std::string>& label) const;

  // ---- logical clocks
  // Raises the 8-byte big-endian counter under `key` to at least
  // `candidate` (compare-and-swap loop; never lowers it).
  DbResult<void> store_counter_max(std::string_view key, uint64_t candidate) const;
  static DbResult<std::optional<uint64_t>> get_counter(const kelm::Db& db, std::string_view key);

  // ---- edges
  DbResult<void> put_edge(const Edge& edge) const;
  DbResult<Edge> get_edge(const Uuid& id) const;
  DbResult<bool> edge_exists(const Uuid& id) const;
  // An absent edge is no failure.
  DbResult<void> delete_edge(const Uuid& id) const;
  // Every edge record, in key order.
  DbResult<std::vector<Edge>> scan_edges() const;
  // The same records streamed, one decoded per step.
  Cursor<Edge> edge_records() const;
  // How many edge records there are; reads keys only.
  DbResult<uint64_t> count_edge_records() const;
  // Both maps rebuilt from the "edges" tree, lists in edge-id order.
  DbResult<Adjacency> load_adjacency() const;
  DbResult<void> put_in_adjacency(const Uuid& node, const std::vector<Uuid>& edges) const;
  DbResult<void> put_out_adjacency(const Uuid& node, const std::vector<Uuid>& edges) const;
  // The edge's first version (version 1, valid from `t`), in
  // "versioned_edges" and "versioned_edges_current"; then raises
  // "meta:next_timestamp" to t + 1 (a failure of that is logged).
  DbResult<void> put_edge_version(const Edge& edge, uint64_t t) const;
  // Closes the edge's current version at `t` and removes its current entry;
  // false when it has none.
  DbResult<bool> close_edge_version(const Uuid& id, uint64_t t) const;

  // ---- staged writes
  // The same operations over a WriteSet (storage/write_set.h): reads see
  // what the set already holds, writes are staged into it, and nothing
  // reaches the store until the caller applies the set. Neither raises
  // "meta:next_timestamp": call raise_clock_past after applying.
  DbResult<std::optional<Node>> find_node(WriteSet& w, const Uuid& id) const;
  DbResult<bool> node_exists(WriteSet& w, const Uuid& id) const;
  DbResult<void> put_node(WriteSet& w, const Node& node) const;
  // Whether the record existed.
  DbResult<bool> remove_node(WriteSet& w, const Uuid& id) const;
  DbResult<void> commit_node_version(WriteSet& w, const Node& node, const VersionedNode& version,
                                     const VersionedNode* superseded) const;
  DbResult<VersionedNode> get_node_version(WriteSet& w, const Uuid& id, uint64_t version) const;
  DbResult<std::optional<uint64_t>> find_current_version(WriteSet& w, const Uuid& id) const;
  DbResult<bool> close_node_version(WriteSet& w, const Uuid& id, uint64_t t) const;
  DbResult<std::optional<Edge>> find_edge(WriteSet& w, const Uuid& id) const;
  DbResult<bool> edge_exists(WriteSet& w, const Uuid& id) const;
  DbResult<void> put_edge(WriteSet& w, const Edge& edge) const;
  DbResult<void> delete_edge(WriteSet& w, const Uuid& id) const;
  DbResult<void> put_in_adjacency(WriteSet& w, const Uuid& node, const std::vector<Uuid>& edges) const;
  DbResult<void> put_out_adjacency(WriteSet& w, const Uuid& node, const std::vector<Uuid>& edges) const;
  DbResult<void> put_edge_version(WriteSet& w, const Edge& edge, uint64_t t) const;
  // The edge's next version, valid from `t`: version 1 for an edge without
  // history; otherwise its current version (if any) closes at `t` and the
  // new one continues the numbering, so a re-put or re-created edge keeps
  // every earlier version.
  DbResult<void> put_next_edge_version(WriteSet& w, const Edge& edge, uint64_t t) const;
  // The highest version number the edge has (0: none).
  DbResult<uint64_t> last_edge_version(WriteSet& w, const Uuid& id) const;
  DbResult<bool> close_edge_version(WriteSet& w, const Uuid& id, uint64_t t) const;
  DbResult<void> add_to_property_index(WriteSet& w, std::string_view property, const PropertyValue& value,
                                       const Uuid& node) const;
  DbResult<void> remove_from_property_index(WriteSet& w, std::string_view property, const PropertyValue& value,
                                            const Uuid& node) const;
  // Raises "meta:next_timestamp" to at least t + 1; a failure is logged as
  // a warning, never returned (the applier persists the clock after every
  // batch as well).
  DbResult<void> raise_clock_past(uint64_t t) const;

  // ---- embeddings
  DbResult<void> put_node_embedding(const Embedding& e) const;
  DbResult<void> put_edge_embedding(const EdgeEmbedding& e) const;
  // Refuses names holding NUL (see storage_keys.h) and vectors that fail
  // check_path_reference_vector (storage/versioned.h).
  DbResult<void> put_path_reference_embedding(const PathReferenceEmbedding& e) const;

  // ---- property index ("idx:prop:{}:{}")
  // Bytes, Object and List values are ignored.
  DbResult<void> add_to_property_index(std::string_view property, const PropertyValue& value,
                                       const Uuid& node) const;
  DbResult<void> remove_from_property_index(std::string_view property, const PropertyValue& value,
                                            const Uuid& node) const;
  // The listed nodes whose current record holds exactly `value` under
  // `property`: lists are shared by values with one text ("42" and 42) and
  // keep entries of replaced nodes, so each entry is checked.
  DbResult<std::vector<Uuid>> lookup_property_index(std::string_view property, const PropertyValue& value) const;
  // The stored list as it is (empty when absent or not indexable).
  DbResult<std::vector<Uuid>> property_index_ids(std::string_view property, const PropertyValue& value) const;

 private:
  DbResult<kelm::Tree> tree(std::string_view name) const;
  DbResult<std::optional<std::vector<Uuid>>> read_id_list(std::string_view key) const;

  kelm::Db db_;
  uint8_t profile_;
};

}  // namespace zudizid::storage
