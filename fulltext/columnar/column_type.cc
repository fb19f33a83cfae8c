#include "fulltext/columnar/column_type.h"

namespace fendral::columnar {

std::string_view column_type_name(ColumnType t) {
  switch (t) {
    case ColumnType::I64: return "I64";
    case ColumnType::U64: return "U64";
    case ColumnType::F64: return "F64";
    case ColumnType::Bytes: return "Bytes";
    case ColumnType::Str: return "Str";
    case ColumnType::Bool: return "Bool";
    case ColumnType::IpAddr: return "IpAddr";
    case ColumnType::DateTime: return "DateTime";
  }
  return "";
}

ColumnTypeCategory category_of(ColumnType t) {
  switch (t) {
    case ColumnType::I64:
    case ColumnType::U64:
    case ColumnType::F64: return ColumnTypeCategory::Numerical;
    case ColumnType::Bytes: return ColumnTypeCategory::Bytes;
    case ColumnType::Str: return ColumnTypeCategory::Str;
    case ColumnType::Bool: return ColumnTypeCategory::Bool;
    case ColumnType::IpAddr: return ColumnTypeCategory::IpAddr;
    case ColumnType::DateTime: return ColumnTypeCategory::DateTime;
  }
  return ColumnTypeCategory::Numerical;
}

void CompatibleNumericalTypes::accept_value(NumericalValue v) {
  switch (v.type) {
    case NumericalType::I64:
      fits_u64 = fits_u64 && v.as_i64() >= 0;
      break;
    case NumericalType::U64:
      fits_i64 = fits_i64 && v.bits < 9223372036854775807ull;
      break;
    case NumericalType::F64:
      fits_i64 = false;
      fits_u64 = false;
      break;
  }
}

bool CompatibleNumericalTypes::is_type_accepted(NumericalType t) const {
  if (forced) return *forced == t;
  switch (t) {
    case NumericalType::I64: return fits_i64;
    case NumericalType::U64: return fits_u64;
    case NumericalType::F64: return true;
  }
  return false;
}

NumericalType CompatibleNumericalTypes::to_numerical_type() const {
  if (forced) return *forced;
  if (fits_i64) return NumericalType::I64;
  if (fits_u64) return NumericalType::U64;
  return NumericalType::F64;
}

}  // namespace fendral::columnar
