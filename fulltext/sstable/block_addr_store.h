// Compact store of block addresses for the version-3 sstable index.
//
// Bytes: u64 L, then L bytes of 36-byte metas (one per group of 128 blocks),
// then the packed residuals of every group. A group's starts and first
// ordinals are coded as a line (slope per block) plus biased residuals:
//   meta: u64 packed offset, u64 first start, u64 first ordinal, u32 start
//         slope S, u32 ordinal slope O, u8 ordinal width w, u8 start width t,
//         u16 blocks - 1;
//   residuals: for x = 1..N-1 the start (t bits) then the ordinal (w bits)
//         of block x, then the group's end (t bits), each stored as
//         value - x*slope + 2^(width-1).
// Block x ends where block x + 1 starts.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "fulltext/common/owned_bytes.h"
#include "fulltext/error/error.h"
#include "fulltext/sstable/block.h"

namespace fendral::sstable {

class BlockAddrStoreWriter {
 public:
  static constexpr size_t kGroupSize = 128;
  // Queues an address; a group is packed after every 128th.
  IoResult<void> write_block_addr(BlockAddr addr);
  // Packs the pending group (nothing when empty).
  IoResult<void> flush_block();
  // u64 L, metas, packed residuals.
  IoResult<void> serialize(std::vector<uint8_t>& out);

 private:
  std::vector<BlockAddr> pending_;
  std::vector<uint8_t> metas_;
  std::vector<uint8_t> packed_;
};

class BlockAddrStore {
 public:
  // Checks every meta against the bytes: widths 1..56 and packed residuals
  // that fit. Anything else is the invalid-data error "SSTable corruption".
  static IoResult<BlockAddrStore> open(OwnedBytes bytes);

  uint64_t num_blocks() const { return num_blocks_; }
  // Nothing for a block number beyond the store.
  std::optional<BlockAddr> get(uint64_t block) const;

 private:
  struct Meta {
    uint64_t offset;
    uint64_t start;
    uint64_t first_ordinal;
    uint32_t start_slope;
    uint32_t ord_slope;
    uint8_t ord_bits;
    uint8_t start_bits;
    uint32_t num_blocks;
  };
  std::vector<Meta> metas_;
  OwnedBytes packed_;
  uint64_t num_blocks_ = 0;
};

}  // namespace fendral::sstable
