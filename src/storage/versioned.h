// Versioned node and edge records and stored embeddings, kept as positional
// MessagePack arrays in the key-value trees.
//
//   VersionedNode           97 | id | version | timestamp | Node | prev_version? | valid_from | valid_to?
//   VersionedEdge           97 | id | version | timestamp | Edge | valid_from | valid_to? | prev_version?
//   Embedding/EdgeEmbedding 94 | id | vector (f32 each, ca + 4 bytes) | model | version (u32)
//   PathReferenceEmbedding  95 | name | node_model | edge_model | vector | created_at
//
// Ids are bin 8 of 16 bytes; integers take their shortest unsigned form; an
// absent optional is nil. Decoders read one value from the start of the input
// and ignore what follows; every failure is DbError::Serialization with
// "MessagePack deserialize error: " and the decoder's message.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/uuid.h"
#include "storage/db_error.h"
#include "storage/node.h"

namespace zudizid {

struct VersionedNode {
  Uuid id;
  uint64_t version = 0;
  uint64_t timestamp = 0;
  Node node_data;
  std::optional<uint64_t> prev_version;
  uint64_t valid_from = 0;
  std::optional<uint64_t> valid_to;

  DbResult<std::vector<uint8_t>> to_msgpack() const;
  static DbResult<VersionedNode> from_msgpack(std::span<const uint8_t> bytes);
  friend bool operator==(const VersionedNode&, const VersionedNode&) = default;
};

struct VersionedEdge {
  Uuid id;
  uint64_t version = 0;
  uint64_t timestamp = 0;
  Edge edge_data;
  uint64_t valid_from = 0;
  std::optional<uint64_t> valid_to;
  std::optional<uint64_t> prev_version;

  DbResult<std::vector<uint8_t>> to_msgpack() const;
  static DbResult<VersionedEdge> from_msgpack(std::span<const uint8_t> bytes);
  friend bool operator==(const VersionedEdge&, const VersionedEdge&) = default;
};

struct Embedding {
  Uuid node_id;
  std::vector<float> vector;
  std::string model;
  uint32_t version = 1;

  DbResult<std::vector<uint8_t>> to_msgpack() const;
  static DbResult<Embedding> from_msgpack(std::span<const uint8_t> bytes);
  friend bool operator==(const Embedding&, const Embedding&) = default;
};

// Stored by the Embedding encoder with the edge id in the first field.
struct EdgeEmbedding {
  Uuid edge_id;
  std::vector<float> vector;
  std::string model;
  uint32_t version = 1;

  DbResult<std::vector<uint8_t>> to_msgpack() const;
  static DbResult<EdgeEmbedding> from_msgpack(std::span<const uint8_t> bytes);
  friend bool operator==(const EdgeEmbedding&, const EdgeEmbedding&) = default;
};

struct PathReferenceEmbedding {
  std::string name;
  std::string node_model;
  std::string edge_model;
  std::vector<float> vector;
  uint64_t created_at = 0;  // whole seconds since the Unix epoch

  DbResult<std::vector<uint8_t>> to_msgpack() const;
  static DbResult<PathReferenceEmbedding> from_msgpack(std::span<const uint8_t> bytes);
  friend bool operator==(const PathReferenceEmbedding&, const PathReferenceEmbedding&) = default;
};

// The rule every stored reference vector passes, checked by the graph before
// it builds the record and again by the storage write: refuses (QueryExecution)
//   "PathReferenceEmbedding E-8 cannot persist an empty vector",
//   "PathReferenceEmbedding E-8 cannot persist a zero-norm vector" when the sum
//     of squares in 32-bit floats, in component order, is zero, and
//   "PathReferenceEmbedding E-8 cannot persist a vector with a non-finite norm"
//     when that sum is NaN or infinite (comparisons with it would be NaN).
DbResult<void> check_path_reference_vector(std::span<const float> vector);

// Seconds since the Unix epoch now, 0 if the clock reads earlier.
uint64_t unix_seconds_now();

}  // namespace zudizid
