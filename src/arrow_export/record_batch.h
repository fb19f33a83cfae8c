// In-memory Arrow record batches: the four column types the export writes
// (Utf8, Int64, Float64, Bool), built row by row into Arrow's own buffer
// layout so that the IPC writer copies them out unchanged.
//
//   ColumnBuilder ids(ArrowType::Utf8, rows);
//   for (...) if (auto ok = ids.append_text(text); !ok) return error(ok.error());
//   RecordBatch batch{fields, {std::move(ids).finish(), ...}, rows};
//
// Invariants of a finished Column:
//   - `validity` is empty when `null_count` is 0, else ceil(length / 8) bytes,
//     bit i (least significant first) set when row i holds a value;
//   - Utf8: `offsets` has length + 1 entries, starting at 0, never decreasing,
//     and the last equals data.size() (a null row repeats the previous offset);
//   - Int64 / Float64: `data` holds 8 little-endian bytes per row (0 for nulls);
//   - Bool: `data` is the value bitmap, ceil(length / 8) bytes.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <vector>

namespace zudizid::arrow_export {

enum class ArrowType : uint8_t { Utf8, Int64, Float64, Bool };

// Utf8 columns carry 32-bit offsets: this many text bytes at most per column.
inline constexpr int64_t kMaxUtf8Bytes = 2147483647;
// The text of an id: 36 bytes, hyphenated lower-case hex.
inline constexpr size_t kIdTextBytes = 36;

struct Field {
  std::string name;
  ArrowType type;
  bool nullable;
};

struct Column {
  ArrowType type = ArrowType::Utf8;
  int64_t length = 0;
  int64_t null_count = 0;
  std::vector<uint8_t> validity;
  std::vector<int32_t> offsets;
  std::string data;
};

struct RecordBatch {
  std::vector<Field> fields;
  std::vector<Column> columns;  // one per field, each `num_rows` long
  int64_t num_rows = 0;
};

class ColumnBuilder {
 public:
  // `expected_rows` sizes the buffers up front; `max_text_bytes` is the
  // Utf8 limit (lowered only by tests).
  explicit ColumnBuilder(ArrowType type, size_t expected_rows = 0, int64_t max_text_bytes = kMaxUtf8Bytes);

  ArrowType type() const { return column_.type; }
  // Room for `bytes` more bytes of text, when the caller knows them.
  void reserve_text(size_t bytes) { column_.data.reserve(column_.data.size() + bytes); }

  void append_null();
  void append_int(int64_t value);
  void append_float(double value);
  void append_bool(bool value);
  // Fails, appending nothing, when the column's text would pass the limit.
  std::expected<void, std::string> append_text(std::string_view text);

  Column finish() &&;

 private:
  void push_validity(bool valid);
  void push_fixed(const void* bytes);

  Column column_;
  int64_t max_text_bytes_;
};

}  // namespace zudizid::arrow_export
