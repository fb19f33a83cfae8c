// Reading records from JSON (the write-ahead log's payloads): struct forms and
// shared field readers, on top of the pull reader in common/json.h.
//
// A struct is accepted as an object keyed by field name (unknown members are
// parsed and dropped; "duplicate field `f`", "missing field `f`") or as an
// array read positionally ("invalid length {k}, expected struct X with N
// elements"; more elements than fields are "trailing characters"). Anything
// else fails with "invalid type: ..., expected struct X". Field errors carry
// the position the reader has reached.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/json.h"
#include "common/uuid.h"

namespace zudizid::records_internal {

namespace js = common::json;

struct JsonStructShape {
  std::string_view expecting;      // "struct Node"
  std::string_view expecting_len;  // "struct Node with 4 elements"
  std::span<const std::string_view> fields;
};

// Called once per field present, with the reader at the field's value.
using JsonFieldFn = std::function<js::Result<void>(size_t field, js::Reader& reader)>;

js::Result<void> read_json_struct(js::Reader& reader, const JsonStructShape& shape, const JsonFieldFn& field);

// The body of a struct whose opening '{' or '[' is the next token.
js::Result<void> read_json_struct_body(js::Reader& reader, const JsonStructShape& shape, const JsonFieldFn& field);

js::Result<uint64_t> read_json_u64(js::Reader& reader);
js::Result<std::vector<uint64_t>> read_json_u64_list(js::Reader& reader);
js::Result<std::string> read_json_string(js::Reader& reader);
js::Result<common::Uuid> read_json_uuid(js::Reader& reader);

// "invalid type: {description}, expected {expected}" at the reader's position.
js::Error json_invalid_type(const js::Reader& reader, const js::Value& found, std::string_view expected);

}  // namespace zudizid::records_internal
