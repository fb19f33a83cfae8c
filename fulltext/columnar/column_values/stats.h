// Statistics stored at the front of every u64 column-values block, and the
// collector that computes them while the values stream by.
//
// Serialized as four common VInts: min_value, gcd, (max_value - min_value) /
// gcd, num_rows. The reader restores max_value = min_value + gcd * amplitude
// (wrapping) and keeps the low 32 bits of num_rows.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "fulltext/error/error.h"

namespace fendral::columnar {

struct ColumnStats {
  uint64_t gcd = 1;  // never 0
  uint64_t min_value = 0;
  uint64_t max_value = 0;
  uint32_t num_rows = 0;

  uint64_t amplitude() const { return (max_value - min_value) / gcd; }
  void serialize(std::vector<uint8_t>& out) const;
  size_t num_bytes() const;
  // Consumes the four VInts. A gcd of 0: invalid data "GCD of 0 is
  // forbidden"; input that runs out: "Reach end of buffer while reading VInt".
  static IoResult<ColumnStats> deserialize(std::span<const uint8_t>& in);
  bool operator==(const ColumnStats&) const = default;
};

// Exact division by a divisor fixed for a whole column; a power of two
// only shifts.
class DividerU64 {
 public:
  explicit DividerU64(uint64_t d);
  uint64_t divide(uint64_t n) const { return shift_only_ ? n >> shift_ : n / d_; }
  uint64_t divisor() const { return d_; }

 private:
  uint64_t d_;
  bool shift_only_ = false;
  uint32_t shift_ = 0;
};

class StatsCollector {
 public:
  void collect(uint64_t v);
  ColumnStats stats() const;

 private:
  std::optional<uint64_t> min_;
  std::optional<uint64_t> max_;
  std::optional<uint64_t> first_;
  std::optional<uint64_t> gcd_;
  uint32_t count_ = 0;
};

}  // namespace fendral::columnar
