// PropertyValue: the one value type of the graph layer (node and edge
// properties, query literals and cells, index keys, values to and from Python).
//
// Eight variants, in index order: Null, Bool, Int (int64), Float (double),
// String (UTF-8), Bytes, Object (ordered list of name/value pairs; names may
// repeat, nothing sorts them) and List. Values own their payload; copies are
// deep.
//
// Order (`cmp`) ranks kinds Null < Bool < numbers (Int and Float together) <
// String < Bytes < List < Object. Int against Float converts the Int to a
// double; a NaN on either side of an Int/Float comparison gives Equal, and
// among Floats NaN is greatest and equal to NaN. `cmp` is therefore not a
// strict weak order on mixed numbers (above 2^53 and with NaN): sorts and
// ordered containers use `total_less`, which orders numbers exactly by value
// with every NaN above every number.
//
// Equality (`eq`, operator==) requires the same variant: Int 1 != Float 1.0,
// NaN != NaN, 0.0 == -0.0. The hash stream canonicalises -0.0 to 0.0 (and
// every NaN to one pattern) so that equal values hash alike.
//
// Encodings carry no variant tag; readers take the first variant (in the
// order Null, Bool, Int, Float, String, Bytes, Object, List) that accepts the
// decoded value, so e.g. a List of small Ints reads back as Bytes.
#pragma once

#include <compare>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "common/json.h"
#include "common/msgpack.h"

namespace zudizid {

class PropertyValue;
using PropertyBytes = std::vector<uint8_t>;
using PropertyObject = std::vector<std::pair<std::string, PropertyValue>>;
using PropertyList = std::vector<PropertyValue>;

// Receives the hash byte stream of a value.
class HashSink {
 public:
  virtual void write(const void* data, size_t len) = 0;

 protected:
  ~HashSink() = default;
};

class PropertyValue {
 public:
  enum class Kind : uint8_t { Null = 0, Bool = 1, Int = 2, Float = 3, String = 4, Bytes = 5, Object = 6, List = 7 };

  PropertyValue() = default;  // Null
  static PropertyValue null() { return PropertyValue(); }
  static PropertyValue boolean(bool v) { return PropertyValue(std::in_place_index<1>, v); }
  static PropertyValue integer(int64_t v) { return PropertyValue(std::in_place_index<2>, v); }
  static PropertyValue float64(double v) { return PropertyValue(std::in_place_index<3>, v); }
  static PropertyValue string(std::string v) { return PropertyValue(std::in_place_index<4>, std::move(v)); }
  static PropertyValue bytes(PropertyBytes v) { return PropertyValue(std::in_place_index<5>, std::move(v)); }
  static PropertyValue object(PropertyObject v) { return PropertyValue(std::in_place_index<6>, std::move(v)); }
  static PropertyValue list(PropertyList v) { return PropertyValue(std::in_place_index<7>, std::move(v)); }

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool is_null() const { return kind() == Kind::Null; }

  bool as_bool() const { return std::get<1>(v_); }
  int64_t as_int() const { return std::get<2>(v_); }
  double as_float() const { return std::get<3>(v_); }
  const std::string& as_string() const { return std::get<4>(v_); }
  const PropertyBytes& as_bytes() const { return std::get<5>(v_); }
  const PropertyObject& as_object() const { return std::get<6>(v_); }
  const PropertyList& as_list() const { return std::get<7>(v_); }
  PropertyObject& as_object() { return std::get<6>(v_); }
  PropertyList& as_list() { return std::get<7>(v_); }

  // ---- order, equality, hash

  std::weak_ordering cmp(const PropertyValue& other) const;
  bool eq(const PropertyValue& other) const;
  friend bool operator==(const PropertyValue& a, const PropertyValue& b) { return a.eq(b); }

  // A strict weak order consistent with `cmp` wherever `cmp` is transitive:
  // numbers by exact mathematical value (Int 2^53+1 > Float 2^53), all NaNs
  // equivalent and above every other number.
  static bool total_less(const PropertyValue& a, const PropertyValue& b);

  // Feeds the hash byte stream (variant index as 8 bytes, then the payload;
  // integers little-endian) into `sink`.
  void hash(HashSink& sink) const;
  // A 64-bit hash of that stream with a per-process random key.
  uint64_t hash_value() const;

  PropertyValue clone() const { return *this; }

  // ---- debug text: Null, Bool(true), Int(-3), Float(1.5), String("a"),
  // Bytes([1, 2]), Object([("a", Int(1))]), List([Int(1), Null]); the
  // alternate form puts each element on its own line, indented by 4.
  void fmt_debug(std::string& out, bool alternate = false) const;
  std::string debug_string(bool alternate = false) const;

  // ---- encodings

  void to_msgpack(common::msgpack::Writer& writer) const;
  // From one complete decoded value; the error text is
  // "data did not match any variant of untagged enum PropertyValue".
  static std::expected<PropertyValue, std::string> from_msgpack(const common::msgpack::Value& value);
  // The value whose head was just read, straight from the reader: the same
  // value and errors as read_value_after then from_msgpack (a mismatch is
  // the Error with that text), without the decoded tree for a scalar.
  static common::msgpack::Result<PropertyValue> read_msgpack(common::msgpack::Reader& reader,
                                                             const common::msgpack::Head& head);

  void to_json(common::json::Writer& writer) const;
  void to_json(std::string& out) const;
  static std::expected<PropertyValue, std::string> from_json(const common::json::Value& value);

  // ---- write-boundary checks

  // Deepest container nesting of the value's stored form (a List or Bytes
  // counts 1, an Object 2: its array of pairs and the pair); 0 for scalars.
  size_t encoded_depth() const;
  // Values nested deeper than this are refused at the write boundary, so
  // every value accepted reads back through both the MessagePack (1023) and
  // the log's JSON (127) nesting budgets with room for the enclosing records.
  static constexpr size_t kMaxWriteDepth = 64;
  // Nesting within kMaxWriteDepth. Error text describes the fault.
  std::expected<void, std::string> validate_for_write() const;
  // As validate_for_write, and no NaN or infinite Float anywhere: the log's
  // JSON form has no text for them, so they would change on replay.
  std::expected<void, std::string> validate_for_wal() const;

 private:
  using Payload = std::variant<std::monostate, bool, int64_t, double, std::string, PropertyBytes, PropertyObject,
                               PropertyList>;
  template <size_t I, class T>
  PropertyValue(std::in_place_index_t<I> index, T&& v) : v_(index, std::forward<T>(v)) {}

  Payload v_;
};

inline constexpr std::string_view kUntaggedMismatch = "data did not match any variant of untagged enum PropertyValue";

// For unordered containers keyed by value (equal values hash alike).
struct PropertyValueHash {
  size_t operator()(const PropertyValue& v) const { return static_cast<size_t>(v.hash_value()); }
};

// For sorts and ordered containers.
struct PropertyValueLess {
  bool operator()(const PropertyValue& a, const PropertyValue& b) const { return PropertyValue::total_less(a, b); }
};

}  // namespace zudizid
