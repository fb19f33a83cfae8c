#include "fulltext/postings/skip_reader.h"

#include <cstring>
#include <limits>

#include "fulltext/postings/block_codec.h"

namespace fendral::postings {

SkipReader::SkipReader(std::span<const uint8_t> skip_data, uint32_t doc_freq, RecordOption layout)
    : skip_(skip_data), entry_len_(skip_entry_len(layout)), layout_(layout), remaining_docs_(doc_freq) {
  if (doc_freq >= kBlockLen) {
    last_doc_in_block_ = 0;
    read_skip_info();
  } else {
    on_tail_ = true;
    last_doc_in_block_ = TERMINATED;
  }
}

void SkipReader::read_skip_info() {
  const uint8_t* e = skip_.data();
  std::memcpy(&last_doc_in_block_, e, 4);
  doc_width_ = e[4] & 0x1F;
  strict_ = (e[4] & kStrictDocsFlag) != 0;
  tf_width_ = 0;
  tf_sum_ = 0;
  block_max_fieldnorm_id_ = 0;
  uint8_t bm_tf = 0;
  if (layout_ == RecordOption::WithFreqs) {
    tf_width_ = e[5];
    block_max_fieldnorm_id_ = e[6];
    bm_tf = e[7];
  } else if (layout_ == RecordOption::WithFreqsAndPositions) {
    tf_width_ = e[5];
    std::memcpy(&tf_sum_, e + 6, 4);
    block_max_fieldnorm_id_ = e[10];
    bm_tf = e[11];
  }
  block_max_term_freq_ = bm_tf == 255 ? std::numeric_limits<uint32_t>::max() : bm_tf;
  on_tail_ = false;
  skip_ = skip_.subspan(entry_len_);
}

void SkipReader::advance() {
  if (on_tail_) {
    remaining_docs_ = 0;
    block_offset_ = std::numeric_limits<uint64_t>::max();
    if (last_doc_in_block_ != TERMINATED) previous_block_last_doc_ = last_doc_in_block_;
    last_doc_in_block_ = TERMINATED;
    return;
  }
  block_offset_ += 16 * (uint64_t{doc_width_} + tf_width_);
  position_offset_ += tf_sum_;
  previous_block_last_doc_ = last_doc_in_block_;
  remaining_docs_ -= kBlockLen;
  if (remaining_docs_ >= kBlockLen) {
    read_skip_info();
  } else {
    on_tail_ = true;
    last_doc_in_block_ = TERMINATED;
  }
}

void SkipReader::terminate() {
  on_tail_ = true;
  remaining_docs_ = 0;
  block_offset_ = std::numeric_limits<uint64_t>::max();
  last_doc_in_block_ = TERMINATED;
}

}  // namespace fendral::postings
