// Reading stored records from MessagePack: the struct forms the record
// readers accept and the field readers they share.
//
// A struct is accepted as
//   - an array read positionally: fewer elements than fields fail with
//     "invalid length {k}, expected struct X with N elements", more with
//     "array had incorrect length, expected N";
//   - a map keyed by field name (str, or bin compared bytewise) or unsigned
//     position; other names and positions are skipped with their values;
//     signed, nil, boolean, float, array and map keys fail with
//     "invalid type: ..., expected field identifier"; a field met twice fails
//     with "duplicate field `f`", a required one never met with
//     "missing field `f`";
//   - a bin, whose bytes are read as a sequence of small unsigned integers.
// Anything else fails with "invalid type: ..., expected struct X".
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/msgpack.h"
#include "common/uuid.h"

namespace zudizid::records_internal {

namespace mp = common::msgpack;

struct StructShape {
  std::string_view expecting;      // "struct Node"
  std::string_view expecting_len;  // "struct Node with 4 elements"
  std::span<const std::string_view> fields;
  uint32_t optional_mask = 0;  // bit k: field k may be missing from a map
};

// Called once per field present, with the field's value head already read.
using FieldFn = std::function<mp::Result<void>(size_t field, mp::Reader& reader, const mp::Head& head)>;

mp::Result<void> read_struct(mp::Reader& reader, const mp::Head& head, const StructShape& shape, const FieldFn& field);

// The texts shared by the readers.
mp::Error invalid_type(const mp::Head& head, std::span<const uint8_t> payload, std::string_view expected);
mp::Error invalid_value(std::string_view found, std::string_view expected);
mp::Error wrong_marker(const mp::Head& head);
mp::Error invalid_utf8(std::span<const uint8_t> bytes);

// "invalid type" for a head whose str/bin payload still follows in the input:
// the payload is read first, so a truncated one reports the end of input.
mp::Error invalid_type_reading(mp::Reader& reader, const mp::Head& head, std::string_view expected);

// Field readers; `expected` names the integer type in messages ("u64", "u32", "u8").
mp::Result<uint64_t> read_unsigned(mp::Reader& reader, const mp::Head& head, std::string_view expected,
                                   uint64_t max = UINT64_MAX);
mp::Result<std::optional<uint64_t>> read_optional_u64(mp::Reader& reader, const mp::Head& head);
mp::Result<std::string> read_string(mp::Reader& reader, const mp::Head& head);
// read_string as a view into the reader's input.
mp::Result<std::string_view> read_text(mp::Reader& reader, const mp::Head& head);
mp::Result<common::Uuid> read_uuid(mp::Reader& reader, const mp::Head& head);
mp::Result<std::vector<float>> read_f32_vector(mp::Reader& reader, const mp::Head& head);

// Reads one value with its head; helper for callers holding only a reader.
mp::Result<mp::Head> next_head(mp::Reader& reader);

}  // namespace zudizid::records_internal
