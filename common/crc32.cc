#include "common/crc32.h"

#include <zlib.h>

#include <limits>

namespace zudizid::common {

uint32_t crc32(uint32_t crc, const void* data, size_t len) {
  auto* p = static_cast<const Bytef*>(data);
  uLong c = crc;
  // zlib takes uInt lengths; feed large buffers in pieces.
  while (len > 0) {
    uInt chunk = len > std::numeric_limits<uInt>::max() ? std::numeric_limits<uInt>::max() : static_cast<uInt>(len);
    c = ::crc32(c, p, chunk);
    p += chunk;
    len -= chunk;
  }
  return static_cast<uint32_t>(c);
}

}  // namespace zudizid::common
