// VInt: the engine's variable-length unsigned integer. 7-bit groups, least
// significant first; the high bit is clear on every byte but the last and set
// on the last one. 0 -> 80, 128 -> 00 81, 300 -> 2C 82.
// (The sstable integer scheme has the opposite convention and lives apart.)
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "fulltext/error/error.h"

namespace fendral::vint {

constexpr size_t kMaxLen = 10;

// Writes v into buf and returns the number of bytes used (1 to 10).
inline size_t serialize(uint64_t v, uint8_t buf[kMaxLen]) {
  size_t n = 0;
  while (v >= 0x80) {
    buf[n++] = static_cast<uint8_t>(v & 0x7F);
    v >>= 7;
  }
  buf[n++] = static_cast<uint8_t>(v | 0x80);
  return n;
}

inline void append(std::vector<uint8_t>& out, uint64_t v) {
  uint8_t buf[kMaxLen];
  size_t n = serialize(v, buf);
  out.insert(out.end(), buf, buf + n);
}

// Reads a 64-bit VInt from the front of `in` and advances it. Fails with the
// invalid-data error "Reach end of buffer while reading VInt" when the input
// ends before the last byte, and on more than 10 bytes.
IoResult<uint64_t> read_u64(std::span<const uint8_t>& in);

// Reads a VInt of at most 5 bytes; the fifth byte contributes its low 4 bits.
// Truncated or over-long input gives the invalid-data error
// "Corrupted data. Invalid VInt 32".
IoResult<uint32_t> read_u32(std::span<const uint8_t>& in);

}  // namespace fendral::vint
