// Reads the postings of one term one block of up to 128 documents at a
// time: decodes the current block's doc ids (and, when wanted, term
// frequencies) into fixed buffers, moves to the next block, and skips whole
// blocks through the skip entries without decoding them.
//
// open() checks every skip entry and the tail against the term's bytes, so a
// damaged range is refused up front with DataCorruption. A packed block whose
// decoded docs contradict its skip entry (only a damaged file does that) ends
// the list early; error() then reports the DataCorruption.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "fulltext/common/owned_bytes.h"
#include "fulltext/error/error.h"
#include "fulltext/postings/block_codec.h"
#include "fulltext/postings/postings_format.h"
#include "fulltext/postings/skip_reader.h"

namespace fendral::postings {

// Absent: no frequencies stored (every tf reads 1). Skipped: stored, stepped
// over. Decoded: stored and read.
enum class FreqMode { Absent, Skipped, Decoded };

class BlockSegmentPostings {
 public:
  // `bytes` are the term's postings range. The first block is loaded.
  static Result<BlockSegmentPostings> open(uint32_t doc_freq, OwnedBytes bytes, RecordOption field_option,
                                           RecordOption requested_option);
  // A list without documents.
  static BlockSegmentPostings empty();

  // The valid doc ids of the current block (empty past the end).
  std::span<const uint32_t> docs() const { return {docs_.data(), doc_count_}; }
  // All 128 slots; the ones past the valid docs hold TERMINATED.
  const std::array<uint32_t, kBlockLen>& full_docs() const { return docs_; }
  // Term frequencies of the current block (all 1 unless mode Decoded).
  std::span<const uint32_t> freqs() const { return {freqs_.data(), doc_count_}; }
  uint32_t doc(size_t i) const { return docs_[i]; }
  uint32_t freq(size_t i) const { return freqs_[i]; }
  uint32_t doc_freq() const { return doc_freq_; }
  FreqMode freq_mode() const { return freq_mode_; }

  // Moves to the next block and loads it; after the tail the block is empty.
  void advance();
  // Moves to the first block whose last doc is >= target, loads it and
  // returns the index of the first doc >= target in it. Contract:
  // target <= TERMINATED.
  size_t seek(uint32_t target);
  void load_block();

  // Positions of the term before the current block.
  uint64_t position_offset() const { return skip_.position_offset(); }

  // Block-max data of the current block, for top-k pruning.
  uint32_t block_last_doc() const { return skip_.last_doc_in_block(); }
  uint8_t block_max_fieldnorm_id() const { return skip_.block_max_fieldnorm_id(); }
  uint32_t block_max_term_freq() const { return skip_.block_max_term_freq(); }
  // The skip walk of the current block; a copy may run ahead for bounds
  // without moving this list.
  const SkipReader& skip_reader() const { return skip_; }

  const std::optional<FendralError>& error() const { return error_; }

 private:
  BlockSegmentPostings() = default;
  void decode_packed();
  void fail_block(const char* what);

  alignas(16) std::array<uint32_t, kBlockLen> docs_{};
  size_t doc_count_ = 0;
  alignas(16) std::array<uint32_t, kBlockLen> freqs_{};
  SkipReader skip_;
  OwnedBytes skip_bytes_;
  OwnedBytes data_;
  uint32_t doc_freq_ = 0;
  bool loaded_ = false;
  FreqMode freq_mode_ = FreqMode::Absent;
  std::optional<FendralError> error_;
};

}  // namespace fendral::postings
