#include "fulltext/columnar/column_values/column_values.h"

#include <cmath>

namespace fendral::columnar::convert {

int64_t f64_to_i64_bound(double v) {
  if (std::isnan(v)) return 0;
  if (v <= -9223372036854775808.0) return INT64_MIN;
  if (v >= 9223372036854775808.0) return INT64_MAX;
  return static_cast<int64_t>(v);
}

uint64_t f64_to_u64_bound(double v) {
  if (std::isnan(v) || v <= 0.0) return 0;
  if (v >= 18446744073709551616.0) return UINT64_MAX;
  return static_cast<uint64_t>(v);
}

}  // namespace fendral::columnar::convert
