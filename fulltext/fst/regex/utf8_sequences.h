// Decomposition of a range of Unicode scalar values into the byte-range
// sequences of its well-formed UTF-8 encodings: each sequence is 1 to 4
// byte ranges, and a byte string encodes a scalar of the range exactly when
// it matches one sequence. Sequences come in ascending order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fendral::fst::regex {

struct ByteRange {
  uint8_t lo;
  uint8_t hi;
};
using Utf8Sequence = std::vector<ByteRange>;

std::vector<Utf8Sequence> utf8_sequences(uint32_t lo, uint32_t hi);

// Appends the UTF-8 encoding of a scalar value; returns its length.
size_t encode_utf8(uint32_t cp, uint8_t out[4]);

}  // namespace fendral::fst::regex
