// Sstable blocks: framing, reading and decoding.
//
// A block on disk is u32 (content length + 1), a flag byte (0 raw, 1 one zstd
// frame) and the content. Content is the values part followed by the keys
// part. Keys are prefix-coded against the previous key of the same block: a
// header byte keep + 16 * add when both are below 16, otherwise 0x01 then
// sstable VInts keep and add; then the `add` suffix bytes. The first key of a
// block has keep 0, so every block decodes alone.
//
// Values part by kind (fixed per sstable by its user):
//   KeysOnly:   nothing.
//   Ranges:     VInt B, then B boundaries delta-coded; value i is
//               [boundary i, boundary i + 1).
//   BlockAddrs: VInt n, VInt start, then n pairs (length, ordinal delta);
//               the values of a version-2 block index.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "fulltext/error/error.h"

namespace fendral::sstable {

enum class ValueKind { KeysOnly, Ranges, BlockAddrs };

// A byte range [start, end).
struct Range {
  uint64_t start = 0;
  uint64_t end = 0;
  bool operator==(const Range&) const = default;
};

// Where a block lies (from its length word to its last content byte) and the
// ordinal of its first key.
struct BlockAddr {
  uint64_t start = 0;
  uint64_t end = 0;
  uint64_t first_ordinal = 0;
  bool operator==(const BlockAddr&) const = default;
};

// Largest content a block may decode to. Blocks are cut at 4000 bytes of
// keys and keys are at most 65535 bytes, so real blocks stay far below; a
// compressed block declaring more is corrupt and refused before allocating.
constexpr size_t kMaxBlockContent = 1 << 20;
// Content above this size is offered to zstd.
constexpr size_t kCompressThreshold = 2048;

// Frames `content` (compressing it when it is larger than 2048 bytes and the
// frame is strictly smaller) and appends the framed block to `out`.
IoResult<void> frame_block(std::span<const uint8_t> content, std::vector<uint8_t>& out);

// Appends one key entry (header and suffix) given the previous key of the
// block (empty for the block's first key).
void encode_key(std::span<const uint8_t> prev, std::span<const uint8_t> key, std::vector<uint8_t>& out);

// Reads framed blocks one after the other from a byte run.
class BlockReader {
 public:
  explicit BlockReader(std::span<const uint8_t> data) : data_(data) {}
  // Loads the next block's content; false at the terminator (a length word
  // below 2) or when the run is exhausted.
  IoResult<bool> read_block();
  std::span<const uint8_t> content() const { return content_; }

 private:
  std::span<const uint8_t> data_;
  std::span<const uint8_t> content_;
  std::vector<uint8_t> decompressed_;
};

// Walks the entries of one block's content.
class BlockCursor {
 public:
  // Decodes the values part and stands before the first key.
  IoResult<void> reset(std::span<const uint8_t> content, ValueKind kind);
  // Moves to the next entry; false after the last one.
  IoResult<bool> next();
  std::span<const uint8_t> key() const { return key_; }
  // Index of the current entry within the block.
  size_t index() const { return index_ - 1; }
  Range range_value() const;
  BlockAddr addr_value() const;

 private:
  ValueKind kind_ = ValueKind::KeysOnly;
  std::span<const uint8_t> keys_;
  std::vector<uint64_t> boundaries_;  // Ranges
  std::vector<BlockAddr> addrs_;      // BlockAddrs
  std::vector<uint8_t> key_;
  size_t index_ = 0;
};

}  // namespace fendral::sstable
