// CRC-32 as in zlib and PNG (polynomial 0xEDB88320, reflected, final xor).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace zudizid::common {

// Continues a running CRC; start with crc = 0.
uint32_t crc32(uint32_t crc, const void* data, size_t len);

inline uint32_t crc32(std::span<const uint8_t> bytes) { return crc32(0, bytes.data(), bytes.size()); }
inline uint32_t crc32(std::string_view text) { return crc32(0, text.data(), text.size()); }

}  // namespace zudizid::common
