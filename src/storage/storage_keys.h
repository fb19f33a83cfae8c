// The text of every key the storage layer writes.
//
// Default tree:
//   "node:{id}"              current node record
//   "node:{id}:v{n}"         one node version ({n} decimal, no padding)
//   "node:{id}:current"      current version pointer
//   "node:{id}:versions"     version list
//   "ts:{t}"                 ids of the nodes committed at t
//   "meta:next_timestamp", "meta:next_tx_id"   the logical clocks
//   "idx:in:{id}", "idx:out:{id}"              stored adjacency
//   "idx:prop:{name}:{value text}"             property index
// Named trees:
//   "edges"                    {edge id}
//   "versioned_edges"          {edge id}:v{n, 20 digits zero-padded}
//   "versioned_edges_current"  {edge id}
//   "embeddings"               {node id}:{model} and e:{edge id}:{model}
//   "path_ref_embeddings"      name NUL node_model NUL edge_model
//
// Ids are the 36-character lower-case hyphenated text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/uuid.h"
#include "storage/db_error.h"
#include "storage/property_value.h"

namespace zudizid::storage::keys {

inline constexpr std::string_view kNextTimestamp = "meta:next_timestamp";
inline constexpr std::string_view kNextTxId = "meta:next_tx_id";
inline constexpr std::string_view kNodePrefix = "node:";
inline constexpr std::string_view kTimestampPrefix = "ts:";

inline constexpr std::string_view kEdgesTree = "edges";
inline constexpr std::string_view kVersionedEdgesTree = "versioned_edges";
inline constexpr std::string_view kVersionedEdgesCurrentTree = "versioned_edges_current";
inline constexpr std::string_view kEmbeddingsTree = "embeddings";
inline constexpr std::string_view kPathRefEmbeddingsTree = "path_ref_embeddings";

std::string node(const common::Uuid& id);
std::string node_version(const common::Uuid& id, uint64_t version);
std::string node_current(const common::Uuid& id);
std::string node_versions(const common::Uuid& id);
std::string timestamp(uint64_t t);
std::string in_adjacency(const common::Uuid& id);
std::string out_adjacency(const common::Uuid& id);

std::string edge(const common::Uuid& id);
std::string edge_version(const common::Uuid& id, uint64_t version);
std::string node_embedding(const common::Uuid& id, std::string_view model);
std::string edge_embedding(const common::Uuid& id, std::string_view model);
// Names holding a NUL byte would make distinct references share a key:
// refused with DbError::Message.
DbResult<std::string> path_reference(std::string_view name, std::string_view node_model,
                                     std::string_view edge_model);

// The value text of a property-index key: "null", "true"/"false", Int in
// decimal, Float positional with the fewest digits ("-0", "NaN", "inf",
// "-inf"), String unchanged. Bytes, Object and List have none.
std::optional<std::string> value_text(const PropertyValue& value);
// "idx:prop:{name}:{value text}"; none for values without a text. Distinct
// (name, value) pairs may share a key ("42" and 42, names holding ':'), so
// readers re-check the stored value.
std::optional<std::string> property_index(std::string_view name, const PropertyValue& value);

}  // namespace zudizid::storage::keys
