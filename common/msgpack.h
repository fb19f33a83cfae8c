// MessagePack writer and reader.
//
// The writer always picks the shortest form of an integer or a length header
// and never writes a signed marker for a non-negative integer. The reader
// keeps each value's wire marker, because callers' messages and acceptance
// rules depend on it (a 0 written as int 8 is not a 0 written as fixint).
//
// Reader invariants:
//   - Input is untrusted: a length or count read from the input never sizes an
//     allocation beyond what the remaining input can hold (each element takes
//     at least one byte).
//   - Every array or map entered takes one level of a nesting budget; a
//     container that would take the budget to 0 fails with "depth limit
//     exceeded" (budget 1024 allows 1023 nested containers).
//   - Error texts:
//       "IO error while reading marker: failed to fill whole buffer"
//       "IO error while reading data: failed to fill whole buffer"   (fixed-size data, lengths)
//       "IO error while reading data: unexpected end of file"        (str/bin/ext payloads)
//       "depth limit exceeded"
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zudizid::common::msgpack {

inline constexpr uint32_t kDefaultDepthBudget = 1024;

// The marker's name: FixPos(5), FixNeg(-3), Null, True, False, U8 ... I64,
// F32, F64, FixStr(3), Str8 ... Bin32, FixArray(2), Array16, Array32,
// FixMap(1), Map16, Map32, FixExt1 ... FixExt16, Ext8, Ext16, Ext32, Reserved.
std::string marker_name(uint8_t marker);

// ---------------------------------------------------------------- writer

class Writer {
 public:
  explicit Writer(std::vector<uint8_t>& out) : out_(out) {}

  void write_nil() { out_.push_back(0xc0); }
  void write_bool(bool v) { out_.push_back(v ? 0xc3 : 0xc2); }
  void write_uint(uint64_t v);
  void write_int(int64_t v);  // non-negative values use the unsigned family
  void write_f32(float v);
  void write_f64(double v);
  void write_str(std::string_view s);
  void write_bin(std::span<const uint8_t> b);
  void write_array_header(size_t n);
  void write_map_header(size_t n);
  void write_ext(int8_t type, std::span<const uint8_t> data);

  // Lengths above 2^32-1 cannot be written; the writer then records an error
  // (first one wins) and the output is unusable.
  bool failed() const { return !error_.empty(); }
  const std::string& error() const { return error_; }

  std::vector<uint8_t>& buffer() { return out_; }

 private:
  void put_be(uint64_t v, int bytes);
  // A family of consecutive markers whose data widths double from
  // `first_width` (1 -> 2 -> 4 -> 8 bytes): writes the first one wide enough
  // for `v`, then `v` big-endian.
  void put_sized(uint8_t first_marker, int first_width, uint64_t v);
  // An array or map header: the fix marker below 16 elements, else the
  // 16- or 32-bit form.
  void put_count(size_t n, uint8_t fix_marker, uint8_t first_marker);
  bool check_len(size_t n);

  std::vector<uint8_t>& out_;
  std::string error_;
};

// ---------------------------------------------------------------- reader

struct Error {
  std::string message;
  friend bool operator==(const Error&, const Error&) = default;
};

template <class T>
using Result = std::expected<T, Error>;

enum class Kind : uint8_t {
  Nil,
  Bool,
  UInt,  // positive fixint, uint 8/16/32/64
  SInt,  // negative fixint, int 8/16/32/64 (whatever the value's sign)
  F32,
  F64,
  Str,
  Bin,
  Array,
  Map,
  Ext,
  Reserved,  // 0xc1
};

// A marker with its fixed-size data: the value of scalars, the length of
// str/bin/ext payloads and the count of array/map elements. The payload and
// the elements follow in the input.
struct Head {
  uint8_t marker = 0;
  Kind kind = Kind::Nil;
  bool boolean = false;
  uint64_t u = 0;  // UInt
  int64_t i = 0;   // SInt
  double f = 0;    // F32 (widened) and F64
  float f32 = 0;   // F32 as read
  uint32_t len = 0;  // Str/Bin/Ext payload bytes, Array elements, Map entries
  int8_t ext_type = 0;
};

// One complete value with everything nested in it.
struct Value {
  Head head;
  std::string bytes;                           // Str/Bin/Ext payload
  std::vector<Value> items;                    // Array
  std::vector<std::pair<Value, Value>> entries;  // Map

  Kind kind() const { return head.kind; }
};

class Reader {
 public:
  explicit Reader(std::span<const uint8_t> input, uint32_t depth_budget = kDefaultDepthBudget)
      : data_(input.data()), size_(input.size()), depth_(depth_budget) {}

  size_t position() const { return pos_; }
  size_t remaining() const { return size_ - pos_; }

  // The next marker byte without consuming it.
  Result<uint8_t> peek_marker() const;
  // Reads a marker and its fixed-size data.
  Result<Head> read_head();
  // The payload of a Str/Bin/Ext head.
  Result<std::span<const uint8_t>> read_payload(uint32_t len);

  // Nesting budget around a container's elements.
  Result<void> enter();
  void leave() { ++depth_; }

  // Reads one complete value (the head already read, or not).
  Result<Value> read_value();
  Result<Value> read_value_after(const Head& head);
  // Reads and drops one complete value.
  Result<void> skip_value();
  Result<void> skip_value_after(const Head& head);

  // At most this many elements of `count` claimed by a header can be present.
  size_t plausible_count(uint64_t count, size_t min_element_bytes = 1) const {
    size_t cap = remaining() / min_element_bytes;
    return count < cap ? static_cast<size_t>(count) : cap;
  }

 private:
  Result<uint64_t> read_be(int bytes);

  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
  uint32_t depth_;
};

// The description of a value in "invalid type" / "invalid value" messages:
// "unit value", "boolean `true`", "integer `-5`", "floating point `1.5`",
// "string \"...\"" (escaped), "byte array", "sequence", "map",
// "newtype struct". A str whose bytes are not UTF-8 is a "byte array".
std::string describe(const Head& head, std::span<const uint8_t> payload = {});
std::string describe(const Value& value);

}  // namespace zudizid::common::msgpack
