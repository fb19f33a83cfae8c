// Column type codes, shared by the writer, the column directory and the
// readers, and the numerical values the writer records.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace fendral::columnar {

enum class ColumnType : uint8_t { I64 = 0, U64 = 1, F64 = 2, Bytes = 3, Str = 4, Bool = 5, IpAddr = 6, DateTime = 7 };

// "I64", "U64", "F64", "Bytes", "Str", "Bool", "IpAddr", "DateTime".
std::string_view column_type_name(ColumnType t);
// Codes above 7 do not exist.
inline std::optional<ColumnType> column_type_from_code(uint8_t code) {
  if (code > 7) return std::nullopt;
  return static_cast<ColumnType>(code);
}
inline bool is_numerical(ColumnType t) { return t == ColumnType::I64 || t == ColumnType::U64 || t == ColumnType::F64; }

// Merge unit: columns of one name and one category are merged together.
enum class ColumnTypeCategory : uint8_t { Numerical = 0, Bytes = 1, Str = 2, Bool = 3, IpAddr = 4, DateTime = 5 };
ColumnTypeCategory category_of(ColumnType t);

enum class NumericalType : uint8_t { I64 = 0, U64 = 1, F64 = 2 };

inline ColumnType to_column_type(NumericalType t) { return static_cast<ColumnType>(static_cast<uint8_t>(t)); }

// A number as recorded: its type and its 64 bits (two's complement for I64,
// the IEEE-754 pattern for F64).
struct NumericalValue {
  NumericalType type = NumericalType::U64;
  uint64_t bits = 0;

  static NumericalValue from_u64(uint64_t v) { return {NumericalType::U64, v}; }
  static NumericalValue from_i64(int64_t v) { return {NumericalType::I64, static_cast<uint64_t>(v)}; }
  static NumericalValue from_f64(double v) {
    uint64_t b;
    std::memcpy(&b, &v, 8);
    return {NumericalType::F64, b};
  }
  int64_t as_i64() const { return static_cast<int64_t>(bits); }
  double as_f64() const {
    double d;
    std::memcpy(&d, &bits, 8);
    return d;
  }
};

// Which numerical types can still hold every value seen so far.
struct CompatibleNumericalTypes {
  bool fits_i64 = true;
  bool fits_u64 = true;
  std::optional<NumericalType> forced;

  void accept_value(NumericalValue v);
  bool is_type_accepted(NumericalType t) const;
  NumericalType to_numerical_type() const;
};

}  // namespace fendral::columnar
