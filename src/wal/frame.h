// Frames of the write-ahead log.
//
// The log is a plain sequence of frames from offset 0, without header, magic
// or checksum:
//   [0, 8)      N, the payload length, unsigned 64-bit little-endian
//   [8, 8 + N)  the payload: one record as compact JSON text
// The end of the last frame that decodes completely is the log's valid end.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zudizid::wal {

inline constexpr std::uint64_t kFrameHeaderSize = 8;

inline void append_frame(std::string& out, std::string_view payload) {
  std::uint64_t n = payload.size();
  char header[kFrameHeaderSize];
  for (std::size_t i = 0; i < kFrameHeaderSize; ++i) header[i] = static_cast<char>((n >> (8 * i)) & 0xff);
  out.append(header, kFrameHeaderSize);
  out.append(payload);
}

inline std::uint64_t read_frame_length(const unsigned char* p) {
  std::uint64_t n = 0;
  for (std::size_t i = 0; i < kFrameHeaderSize; ++i) n |= static_cast<std::uint64_t>(p[i]) << (8 * i);
  return n;
}

}  // namespace zudizid::wal
