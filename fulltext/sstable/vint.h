// The sstable's own variable-length integer: 7-bit groups, least significant
// first, bit 7 set on every byte but the last (0 -> 00, 128 -> 80 01,
// 300 -> AC 02). Used only inside sstables; the rest of the engine uses the
// opposite convention of fulltext/common/vint.h.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "fulltext/error/error.h"

namespace fendral::sstable::vint {

inline void serialize_into_vec(uint64_t v, std::vector<uint8_t>& out) {
  while (v >= 0x80) {
    out.push_back(static_cast<uint8_t>(v | 0x80));
    v >>= 7;
  }
  out.push_back(static_cast<uint8_t>(v));
}

inline size_t serialized_len(uint64_t v) {
  size_t n = 1;
  while (v >= 0x80) {
    v >>= 7;
    ++n;
  }
  return n;
}

// Reads one integer from the front of `in` and advances it. Input that ends
// inside an integer, or an integer of more than 10 bytes, is the invalid-data
// error "SSTable corruption".
inline IoResult<uint64_t> deserialize(std::span<const uint8_t>& in) {
  uint64_t result = 0;
  for (size_t i = 0; i < in.size() && i < 10; ++i) {
    uint8_t b = in[i];
    result |= static_cast<uint64_t>(b & 0x7F) << (7 * i);
    if (!(b & 0x80)) {
      in = in.subspan(i + 1);
      return result;
    }
  }
  return io_fail(IoErrorKind::InvalidData, "SSTable corruption");
}

}  // namespace fendral::sstable::vint
