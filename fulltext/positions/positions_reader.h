// Reads the position deltas of one term (format in postings/postings_format.h)
// by position index: index p is the p-th delta of the term's concatenated
// deltas. Moves forward through the blocks, decoding only the blocks it
// reads; asking for an earlier index restarts from the term's first block.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "fulltext/common/owned_bytes.h"
#include "fulltext/error/error.h"
#include "fulltext/postings/block_codec.h"

namespace fendral::positions {

class PositionsReader {
 public:
  // `bytes` are the term's positions range. The widths and the blocks they
  // announce must fit the bytes (DataCorruption otherwise); a truncated
  // width count gives "Reach end of buffer while reading VInt".
  static Result<PositionsReader> open(OwnedBytes bytes);

  // Fills `out` with the deltas at indexes offset, offset + 1, ...
  // An index beyond the term's recorded positions, or a damaged tail, gives
  // DataCorruption.
  Result<void> read(uint64_t offset, std::span<uint32_t> out);
  // An upper bound of the number of deltas the term holds.
  uint64_t max_positions() const {
    return num_blocks_ * postings::kBlockLen +
           std::min<uint64_t>(postings::kBlockLen - 1, positions_all_.len() - block_starts_.back());
  }

 private:
  PositionsReader() = default;
  Result<void> load_block(uint64_t r);

  OwnedBytes widths_all_;
  OwnedBytes positions_all_;
  // Byte start of each full block and the tail, within positions_all_.
  std::vector<uint64_t> block_starts_;
  uint64_t num_blocks_ = 0;
  uint64_t loaded_ = UINT64_MAX;  // index of the loaded block, or none
  alignas(16) std::array<uint32_t, postings::kBlockLen> block_{};
  size_t block_count_ = 0;
};

}  // namespace fendral::positions
