// OwnedValue: a document value as a tree of owned values.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "common/json.h"
#include "fulltext/tokenizer/tokenized_string.h"

namespace fendral::schema {

struct OwnedValue;
using OwnedArray = std::vector<OwnedValue>;
using OwnedObject = std::vector<std::pair<std::string, OwnedValue>>;

struct DateValue {
  int64_t nanos = 0;  // since 1970-01-01T00:00:00Z
  bool operator==(const DateValue&) const = default;
};
struct FacetValue {
  std::string encoded;  // segments joined by 0x00
  bool operator==(const FacetValue&) const = default;
};
struct BytesValue {
  std::vector<uint8_t> bytes;
  bool operator==(const BytesValue&) const = default;
};
using IpValue = std::array<uint8_t, 16>;  // IPv6 octets in network order

struct OwnedValue {
  // Declared order: Null, Str, PreTokStr, U64, I64, F64, Bool, Date, Facet,
  // Bytes, Array, Object, IpAddr.
  std::variant<std::monostate, std::string, tokenizer::PreTokenizedString, uint64_t, int64_t, double, bool, DateValue,
               FacetValue, BytesValue, OwnedArray, OwnedObject, IpValue>
      v;

  OwnedValue() = default;
  template <class T>
  OwnedValue(T x) : v(std::move(x)) {}  // NOLINT
  OwnedValue(const char* s) : v(std::string(s)) {}  // NOLINT

  // null, bool, integers (0..2^63-1 and negatives as I64, above as U64),
  // floats, strings (RFC 3339 texts starting with a digit become dates),
  // arrays, objects (members in ascending key order, last duplicate wins).
  static OwnedValue from_json(const zudizid::common::json::Value& value);

  bool operator==(const OwnedValue& o) const;
};

}  // namespace fendral::schema
