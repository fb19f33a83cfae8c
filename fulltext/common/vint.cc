#include "fulltext/common/vint.h"

namespace fendral::vint {

IoResult<uint64_t> read_u64(std::span<const uint8_t>& in) {
  uint64_t result = 0;
  for (size_t i = 0; i < in.size(); ++i) {
    uint8_t b = in[i];
    if (i == kMaxLen) break;
    result |= static_cast<uint64_t>(b & 0x7F) << (7 * i);
    if (b & 0x80) {
      in = in.subspan(i + 1);
      return result;
    }
  }
  return io_fail(IoErrorKind::InvalidData, "Reach end of buffer while reading VInt");
}

IoResult<uint32_t> read_u32(std::span<const uint8_t>& in) {
  uint32_t result = 0;
  for (size_t i = 0; i < 5 && i < in.size(); ++i) {
    uint8_t b = in[i];
    if (i == 4) {
      if (!(b & 0x80)) break;
      result |= static_cast<uint32_t>(b & 0x0F) << 28;
    } else {
      result |= static_cast<uint32_t>(b & 0x7F) << (7 * i);
    }
    if (b & 0x80) {
      in = in.subspan(i + 1);
      return result;
    }
  }
  return io_fail(IoErrorKind::InvalidData, "Corrupted data. Invalid VInt 32");
}

}  // namespace fendral::vint
