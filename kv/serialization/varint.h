// The engine's variable-length unsigned integer, used by log message headers
// and page bodies. Mixed-endian:
//   v <= 240            1 byte   v
//   v <= 2287           2 bytes  (v-240)/256+241, (v-240)%256
//   v <= 67823          3 bytes  249, (v-2288) as 2 bytes big-endian
//   otherwise           1 byte 250..255, then 3..8 bytes little-endian
//                       (for v < 2^24, 2^32, 2^40, 2^48, 2^56, and above)
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kelm::serialization {

constexpr size_t kMaxVarintSize = 9;

size_t varint_size(uint64_t v);

// Writes into `out` (which must hold varint_size(v) bytes); returns bytes written.
size_t write_varint(uint64_t v, uint8_t* out);
void append_varint(uint64_t v, std::vector<uint8_t>& out);

struct Varint {
  uint64_t value;
  size_t size;  // bytes consumed
};

// Reads one varint from the front of `in`; nullopt when `in` ends too early.
std::optional<Varint> read_varint(std::span<const uint8_t> in);

}  // namespace kelm::serialization
