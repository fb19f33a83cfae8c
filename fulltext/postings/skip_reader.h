// Walks the skip entries of one term (see postings_format.h) and keeps, for
// the current block, its byte offset among the term's blocks, the number of
// positions before it and its block-max pair. Past the full blocks it sits
// on the tail (last doc TERMINATED); past the tail the list is over.
// The entries are validated when the block postings open, so stepping never
// fails.
#pragma once

#include <cstdint>
#include <span>

#include "fulltext/postings/postings_format.h"

namespace fendral::postings {

class SkipReader {
 public:
  SkipReader() = default;
  // Starts on the first entry; with fewer than 128 docs, on the tail.
  SkipReader(std::span<const uint8_t> skip_data, uint32_t doc_freq, RecordOption layout);

  // Steps past the current block (packed or tail).
  void advance();

  bool on_tail() const { return on_tail_; }
  // Docs in the tail (0..127); meaningful on the tail.
  uint32_t tail_len() const { return remaining_docs_; }
  uint64_t block_offset() const { return block_offset_; }
  uint64_t position_offset() const { return position_offset_; }
  uint32_t last_doc_in_block() const { return last_doc_in_block_; }
  uint32_t previous_block_last_doc() const { return previous_block_last_doc_; }
  uint32_t remaining_docs() const { return remaining_docs_; }
  uint8_t doc_width() const { return doc_width_; }
  bool strict() const { return strict_; }
  uint8_t tf_width() const { return tf_width_; }
  uint32_t tf_sum() const { return tf_sum_; }
  uint8_t block_max_fieldnorm_id() const { return block_max_fieldnorm_id_; }
  // The stored 255 reads as 2^32 - 1 ("at least 255").
  uint32_t block_max_term_freq() const { return block_max_term_freq_; }
  // Ends the walk at once (a block that contradicted its entry).
  void terminate();

 private:
  void read_skip_info();
  std::span<const uint8_t> skip_;
  uint32_t entry_len_ = 5;
  RecordOption layout_ = RecordOption::Basic;
  uint64_t block_offset_ = 0;
  uint64_t position_offset_ = 0;
  uint32_t last_doc_in_block_ = TERMINATED;
  uint32_t previous_block_last_doc_ = 0;
  uint32_t remaining_docs_ = 0;
  bool on_tail_ = true;
  uint8_t doc_width_ = 0;
  bool strict_ = true;
  uint8_t tf_width_ = 0;
  uint32_t tf_sum_ = 0;
  uint8_t block_max_fieldnorm_id_ = 0;
  uint32_t block_max_term_freq_ = 0;
};

}  // namespace fendral::postings
