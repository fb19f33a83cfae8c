// The record kept for every user-created index, and its "metadata.bin" codec.
//
// "metadata.bin" layout, all integers little-endian, no magic, version,
// checksum or padding:
//   u64 N, then N entries of
//     u64 len, name bytes; u64 len, label bytes; u64 len, property bytes
//     (each UTF-8), u32 index_type tag, i64 created_at seconds, u64 size.
// Bytes after the last entry are ignored when reading.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "index/index_type.h"
#include "index/utc_time.h"

namespace zudizid::index {

struct IndexMetadata {
  std::string name;      // registry key, "{label}_{property}"
  std::string label;     // node label covered
  std::string property;  // property covered; for Taxonomy, the parent edge type
  IndexType index_type = IndexType::Hash;
  UtcTime created_at;    // nanoseconds in memory, whole seconds on disk
  std::uint64_t size = 0;  // (value, node) insertions since creation or rebuild

  friend bool operator==(const IndexMetadata&, const IndexMetadata&) = default;
};

// IndexMetadata { name: "...", label: "...", property: "...",
// index_type: Hash, created_at: 2026-...Z, size: 0 }
std::string debug_string(const IndexMetadata& m);

std::string encode_metadata(const std::vector<IndexMetadata>& entries);

// Decodes a whole file. The error is the decoder's message (callers wrap it
// as "Failed to deserialize metadata: {}"). Every length and count is
// checked against the bytes that remain before anything is allocated.
std::expected<std::vector<IndexMetadata>, std::string> decode_metadata(std::string_view bytes);

// True when `s` is empty or holds only Unicode White_Space characters.
bool is_blank(std::string_view s);

// Why an index on (label, property) cannot be created, or nullopt. Loading
// "metadata.bin" drops entries with a blank field, so such an index would
// vanish at the next open:
//   "Index label must not be empty or whitespace only"
//   "Index property must not be empty or whitespace only"
std::optional<std::string> index_definition_fault(std::string_view label, std::string_view property);

}  // namespace zudizid::index
