#include "fulltext/postings/postings_serializer.h"

#include <algorithm>
#include <string>

#include "fulltext/common/vint.h"

namespace fendral::postings {

namespace {
void put_u32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
}  // namespace

void PostingsSerializer::new_term(bool wants_freqs) {
  count_ = 0;
  previous_block_last_doc_ = 0;
  freqs_recorded_ = wants_freqs && option_ != RecordOption::Basic;
}

void PostingsSerializer::write_doc(uint32_t doc, uint32_t term_freq) {
  if (count_ >= kBlockLen) contract_violation("postings block buffer overflow");
  docs_[count_] = doc;
  freqs_[count_] = term_freq;
  if (++count_ == kBlockLen) encode_block();
}

void PostingsSerializer::encode_block() {
  // The first block of a list has no previous value (its first doc may be 0).
  uint32_t previous = previous_block_last_doc_ == 0 ? kNoPrevious : previous_block_last_doc_;
  uint8_t doc_width = pack_block_sorted(docs_.data(), previous, scratch_.data());
  uint32_t last = docs_[kBlockLen - 1];
  put_u32(skip_, last);
  previous_block_last_doc_ = last;
  if (doc_width >= 32) contract_violation("bitwidth needs to be less than 32, but got " + std::to_string(doc_width));
  skip_.push_back(static_cast<uint8_t>(doc_width | kStrictDocsFlag));
  postings_.insert(postings_.end(), scratch_.begin(), scratch_.begin() + 16 * doc_width);
  if (freqs_recorded_) {
    uint32_t minus_one[kBlockLen];
    uint64_t sum = 0;
    uint32_t max_tf = 0;
    for (size_t i = 0; i < kBlockLen; ++i) {
      minus_one[i] = freqs_[i] - 1;
      sum += freqs_[i];
      max_tf = std::max(max_tf, freqs_[i]);
    }
    uint8_t tf_width = pack_block(minus_one, scratch_.data());
    postings_.insert(postings_.end(), scratch_.begin(), scratch_.begin() + 16 * tf_width);
    skip_.push_back(tf_width);
    if (option_ == RecordOption::WithFreqsAndPositions) put_u32(skip_, static_cast<uint32_t>(sum));
    // The smallest length with the largest frequency bounds the BM25 factor
    // tf / (tf + k1 * (1 - b + b * len / avg)) of every document of the block,
    // whatever average length the searcher uses.
    uint8_t min_id = 0;
    if (fieldnorms_) {
      min_id = 255;
      for (size_t i = 0; i < kBlockLen; ++i) {
        uint8_t id = docs_[i] < fieldnorms_->num_docs() ? fieldnorms_->fieldnorm_id(docs_[i]) : 0;
        min_id = std::min(min_id, id);
      }
    }
    skip_.push_back(min_id);
    skip_.push_back(static_cast<uint8_t>(std::min<uint32_t>(max_tf, 255)));
  }
  count_ = 0;
}

IoResult<void> PostingsSerializer::close_term(uint32_t doc_freq, Write& out) {
  if (count_ > 0) {
    uint32_t previous = previous_block_last_doc_;
    for (size_t i = 0; i < count_; ++i) {
      vint::append(postings_, docs_[i] - previous);
      previous = docs_[i];
    }
    if (freqs_recorded_) {
      for (size_t i = 0; i < count_; ++i) vint::append(postings_, freqs_[i]);
    }
    count_ = 0;
  }
  IoResult<void> r;
  if (doc_freq >= kBlockLen) {
    uint8_t len[vint::kMaxLen];
    r = out.write_all(std::span<const uint8_t>(len, vint::serialize(skip_.size(), len)));
    if (r) r = out.write_all(std::span<const uint8_t>(skip_));
  }
  if (r) r = out.write_all(std::span<const uint8_t>(postings_));
  skip_.clear();
  postings_.clear();
  return r;
}

void PositionsWriter::append_deltas(std::span<const uint32_t> deltas) {
  while (!deltas.empty()) {
    size_t n = std::min(deltas.size(), kBlockLen - count_);
    std::copy_n(deltas.begin(), n, block_.begin() + count_);
    count_ += n;
    deltas = deltas.subspan(n);
    if (count_ == kBlockLen) flush_block();
  }
}

void PositionsWriter::flush_block() {
  if (count_ == kBlockLen) {
    uint8_t width = pack_block(block_.data(), scratch_.data());
    widths_.push_back(width);
    buffer_.insert(buffer_.end(), scratch_.begin(), scratch_.begin() + 16 * width);
  } else {
    for (size_t i = 0; i < count_; ++i) vint::append(buffer_, block_[i]);
  }
  count_ = 0;
}

IoResult<uint64_t> PositionsWriter::close_term(Write& out) {
  flush_block();
  uint8_t count[vint::kMaxLen];
  size_t count_len = vint::serialize(widths_.size(), count);
  auto r = out.write_all(std::span<const uint8_t>(count, count_len));
  if (r && !widths_.empty()) r = out.write_all(std::span<const uint8_t>(widths_));
  if (r) r = out.write_all(std::span<const uint8_t>(buffer_));
  uint64_t n = count_len + widths_.size() + buffer_.size();
  widths_.clear();
  buffer_.clear();
  if (!r) return std::unexpected(r.error());
  return n;
}

}  // namespace fendral::postings
