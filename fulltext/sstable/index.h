// The block index at the end of every sstable: finds the block that may hold
// a key, or the block holding an ordinal, without reading other blocks.
//
// Version 3 (written): with fewer than two blocks the bytes are u64 0 and
// the index is one block covering [0, index_offset); otherwise an FST from
// each block's separator to its number, the block address store, then u64
// FST length. Version 2 (read only): an sstable of (last key, BlockAddr)
// pairs, loaded whole.
//
// Separators: the last key of a block is trimmed, once the next block's first
// key is known, to a short key s with last key <= s < next first key.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "fulltext/common/owned_bytes.h"
#include "fulltext/error/error.h"
#include "fulltext/fst/fst.h"
#include "fulltext/sstable/block.h"
#include "fulltext/sstable/block_addr_store.h"

namespace fendral::sstable {

class SSTableIndexBuilder {
 public:
  void add_block(std::span<const uint8_t> last_key, Range range, uint64_t first_ordinal);
  // Shortens the last entry's key given the next block's first key.
  void trim_last_block_key(std::span<const uint8_t> next_key);
  // The version-3 index bytes.
  IoResult<void> serialize(std::vector<uint8_t>& out) const;

  struct Entry {
    std::vector<uint8_t> key;
    BlockAddr addr;
  };
  const std::vector<Entry>& entries() const { return entries_; }

 private:
  std::vector<Entry> entries_;
};

// Shortens `key` (< next) to a separator; exposed for tests.
void trim_separator(std::vector<uint8_t>& key, std::span<const uint8_t> next);

class SSTableIndex {
 public:
  // The index of an sstable whose blocks end at index_offset. Version 2 and
  // 3 are read; a version-3 index of u64 0 is the one-block form. Bytes that
  // do not form an index are the invalid-data error "SSTable corruption".
  static IoResult<SSTableIndex> open(OwnedBytes index_bytes, uint32_t version, uint64_t index_offset);

  // The block that may hold `key`: the first whose separator is >= key, the
  // only one in the one-block form; nothing when the key lies beyond every
  // block. Every address returned lies within [0, index_offset).
  IoResult<std::optional<BlockAddr>> get_block_with_key(std::span<const uint8_t> key) const;
  // The last block whose first ordinal is <= ord.
  IoResult<BlockAddr> get_block_with_ord(uint64_t ord) const;
  uint64_t num_blocks() const;
  IoResult<BlockAddr> block(uint64_t b) const;

 private:
  enum class Form { One, V2, V3 };
  IoResult<BlockAddr> checked(std::optional<BlockAddr> addr) const;
  Form form_ = Form::One;
  uint64_t index_offset_ = 0;
  std::vector<SSTableIndexBuilder::Entry> v2_;
  std::shared_ptr<const fst::Fst> fst_;
  BlockAddrStore store_;
};

}  // namespace fendral::sstable
