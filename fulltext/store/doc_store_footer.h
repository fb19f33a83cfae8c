// The 28 bytes that end a ".store" file body (before the general footer):
//   u32 doc-store version (2) | u64 D, end of the blocks area |
//   u8 compressor id (0 none, 1 lz4) | 15 zero bytes
#pragma once

#include <cstdint>
#include <vector>

namespace fendral::store {

constexpr uint32_t kDocStoreVersion = 2;

struct DocStoreFooter {
  static constexpr size_t SIZE_IN_BYTES = 28;
  uint32_t version = kDocStoreVersion;
  uint64_t data_end = 0;
  uint8_t compressor_id = 0;

  void append_to(std::vector<uint8_t>& out) const;
};

}  // namespace fendral::store
