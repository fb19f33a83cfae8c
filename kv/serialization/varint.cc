#include "kv/serialization/varint.h"

namespace kelm::serialization {

size_t varint_size(uint64_t v) {
  if (v <= 240) return 1;
  if (v <= 2287) return 2;
  if (v <= 67823) return 3;
  if (v < (1ull << 24)) return 4;
  if (v < (1ull << 32)) return 5;
  if (v < (1ull << 40)) return 6;
  if (v < (1ull << 48)) return 7;
  if (v < (1ull << 56)) return 8;
  return 9;
}

size_t write_varint(uint64_t v, uint8_t* out) {
  if (v <= 240) {
    out[0] = static_cast<uint8_t>(v);
    return 1;
  }
  if (v <= 2287) {
    out[0] = static_cast<uint8_t>((v - 240) / 256 + 241);
    out[1] = static_cast<uint8_t>((v - 240) % 256);
    return 2;
  }
  if (v <= 67823) {
    out[0] = 249;
    out[1] = static_cast<uint8_t>((v - 2288) / 256);
    out[2] = static_cast<uint8_t>((v - 2288) % 256);
    return 3;
  }
  size_t n = varint_size(v) - 1;  // 3..8 little-endian bytes
  out[0] = static_cast<uint8_t>(247 + n);
  for (size_t i = 0; i < n; ++i) out[1 + i] = static_cast<uint8_t>(v >> (8 * i));
  return n + 1;
}

void append_varint(uint64_t v, std::vector<uint8_t>& out) {
  uint8_t buf[kMaxVarintSize];
  size_t n = write_varint(v, buf);
  out.insert(out.end(), buf, buf + n);
}

std::optional<Varint> read_varint(std::span<const uint8_t> in) {
  if (in.empty()) return std::nullopt;
  uint8_t b0 = in[0];
  if (b0 <= 240) return Varint{b0, 1};
  if (b0 <= 248) {
    if (in.size() < 2) return std::nullopt;
    return Varint{240 + 256 * uint64_t(b0 - 241) + in[1], 2};
  }
  if (b0 == 249) {
    if (in.size() < 3) return std::nullopt;
    return Varint{2288 + 256 * uint64_t(in[1]) + in[2], 3};
  }
  size_t n = b0 - 247;
  if (in.size() < n + 1) return std::nullopt;
  uint64_t v = 0;
  for (size_t i = 0; i < n; ++i) v |= uint64_t(in[1 + i]) << (8 * i);
  return Varint{v, n + 1};
}

}  // namespace kelm::serialization
