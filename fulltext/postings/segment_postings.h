// The doc-at-a-time view of one term's postings in one segment: a doc set
// over the term's doc ids with the term frequency of the current doc and,
// when positions were recorded and requested, its positions. Starts on the
// first doc (TERMINATED for a term without documents) and only moves forward;
// once at TERMINATED it stays there.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "fulltext/common/bitset.h"
#include "fulltext/error/error.h"
#include "fulltext/positions/positions_reader.h"
#include "fulltext/postings/block_segment_postings.h"

namespace fendral::postings {

class SegmentPostings {
 public:
  SegmentPostings(BlockSegmentPostings block, std::optional<positions::PositionsReader> positions)
      : block_(std::move(block)), positions_(std::move(positions)) {}
  static SegmentPostings empty() { return SegmentPostings(BlockSegmentPostings::empty(), std::nullopt); }

  // Doc set operations.
  uint32_t advance();
  // First doc >= target. Contract: target <= TERMINATED.
  uint32_t seek(uint32_t target);
  // seek, then whether the doc reached is target. A target of TERMINATED or
  // more reports no match without moving.
  bool seek_exact(uint32_t target);
  // Writes the current doc and the following ones (advancing past each) until
  // the buffer is full or the end; returns the count.
  size_t fill_buffer(std::span<uint32_t, 64> buffer);
  uint32_t doc() const { return block_.doc(cur_); }
  uint32_t size_hint() const { return block_.doc_freq(); }
  uint64_t cost() const { return block_.doc_freq(); }
  // Docs from the current one to the end that are alive; advances to the end.
  uint32_t count(const ReadOnlyBitSet& alive);
  uint32_t count_including_deleted();

  // 1 when the term's frequencies are not stored.
  uint32_t term_freq() const { return block_.freq(cur_); }
  uint32_t doc_freq() const { return block_.doc_freq(); }
  // Appends the current doc's positions plus `offset` to `out`; nothing
  // without a positions reader. Damaged positions give DataCorruption.
  Result<void> positions_with_offset(uint32_t offset, std::vector<uint32_t>& out);
  Result<void> positions(std::vector<uint32_t>& out) { return positions_with_offset(0, out); }

  BlockSegmentPostings& block_cursor() { return block_; }
  // DataCorruption met while iterating (the list then ended early).
  const std::optional<FendralError>& error() const { return block_.error(); }

 private:
  BlockSegmentPostings block_;
  std::optional<positions::PositionsReader> positions_;
  size_t cur_ = 0;
};

}  // namespace fendral::postings
