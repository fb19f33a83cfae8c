// A straight line over row numbers, used by the linear codecs. The slope is
// fixed point with 32 fractional bits in two's complement:
//   eval(x) = intercept + ((x * slope mod 2^64, as signed) >> 32)
// in wrapping arithmetic. Serialized as common VInts, slope then intercept.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "fulltext/error/error.h"

namespace fendral::columnar {

struct Line {
  uint64_t slope = 0;
  uint64_t intercept = 0;

  uint64_t eval(uint32_t x) const { return intercept + linear_part(x); }
  uint64_t linear_part(uint64_t x) const {
    return static_cast<uint64_t>(static_cast<int64_t>(x * slope) >> 32);
  }
  // Fits a line through the first and last value whose residuals
  // v_i - eval(i) are non-negative for well-behaved runs. Contract: non-empty.
  static Line train(std::span<const uint64_t> values);

  void serialize(std::vector<uint8_t>& out) const;
  size_t num_bytes() const;
  static IoResult<Line> deserialize(std::span<const uint8_t>& in);
  bool operator==(const Line&) const = default;
};

}  // namespace fendral::columnar
