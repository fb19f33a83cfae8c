#include "fulltext/columnar/column_values/stats.h"

#include <bit>
#include <numeric>

#include "fulltext/common/vint.h"

namespace fendral::columnar {

void ColumnStats::serialize(std::vector<uint8_t>& out) const {
  vint::append(out, min_value);
  vint::append(out, gcd);
  vint::append(out, amplitude());
  vint::append(out, num_rows);
}

size_t ColumnStats::num_bytes() const {
  uint8_t buf[vint::kMaxLen];
  return vint::serialize(min_value, buf) + vint::serialize(gcd, buf) + vint::serialize(amplitude(), buf) +
         vint::serialize(num_rows, buf);
}

IoResult<ColumnStats> ColumnStats::deserialize(std::span<const uint8_t>& in) {
  auto min = vint::read_u64(in);
  if (!min) return std::unexpected(min.error());
  auto gcd = vint::read_u64(in);
  if (!gcd) return std::unexpected(gcd.error());
  if (*gcd == 0) return io_fail(IoErrorKind::InvalidData, "GCD of 0 is forbidden");
  auto amp = vint::read_u64(in);
  if (!amp) return std::unexpected(amp.error());
  auto rows = vint::read_u64(in);
  if (!rows) return std::unexpected(rows.error());
  ColumnStats s;
  s.min_value = *min;
  s.gcd = *gcd;
  s.max_value = *min + *gcd * *amp;
  s.num_rows = static_cast<uint32_t>(*rows);
  return s;
}

DividerU64::DividerU64(uint64_t d) : d_(d) {
  if (std::has_single_bit(d)) {
    shift_only_ = true;
    shift_ = static_cast<uint32_t>(std::countr_zero(d));
  }
}

void StatsCollector::collect(uint64_t v) {
  min_ = min_ ? std::min(*min_, v) : v;
  max_ = max_ ? std::max(*max_, v) : v;
  ++count_;
  if (!first_) {
    first_ = v;
    return;
  }
  uint64_t d = v >= *first_ ? v - *first_ : *first_ - v;
  if (d == 0) return;
  if (!gcd_) {
    gcd_ = d;
    return;
  }
  if (*gcd_ == 1 || d % *gcd_ == 0) return;
  gcd_ = std::gcd(d, *gcd_);
}

ColumnStats StatsCollector::stats() const {
  ColumnStats s;
  s.gcd = gcd_.value_or(1);
  s.min_value = min_.value_or(0);
  s.max_value = max_.value_or(0);
  s.num_rows = count_;
  return s;
}

}  // namespace fendral::columnar
