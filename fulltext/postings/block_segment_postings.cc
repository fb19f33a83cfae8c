#include "fulltext/postings/block_segment_postings.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "fulltext/common/vint.h"

namespace fendral::postings {

namespace {

FendralError corrupt(std::string what) { return FendralError::data_corruption(std::nullopt, "postings: " + what); }

// Decodes a tail of `count` doc deltas (and frequencies when asked and
// present) starting at `in`. Docs must rise and stay below TERMINATED.
Result<void> decode_tail(std::span<const uint8_t> in, uint32_t count, uint32_t previous, bool first_may_be_equal,
                         bool decode_freqs, uint32_t* docs, uint32_t* freqs) {
  uint64_t doc = previous;
  for (uint32_t i = 0; i < count; ++i) {
    auto d = vint::read_u32(in);
    if (!d) return fail(corrupt("tail doc delta: " + d.error().display()));
    if (*d == 0 && !(i == 0 && first_may_be_equal)) return fail(corrupt("tail docs do not rise"));
    doc += *d;
    if (doc >= TERMINATED) return fail(corrupt("tail doc past the largest doc id"));
    docs[i] = static_cast<uint32_t>(doc);
  }
  if (decode_freqs && !in.empty()) {
    for (uint32_t i = 0; i < count; ++i) {
      auto f = vint::read_u32(in);
      if (!f) return fail(corrupt("tail term frequency: " + f.error().display()));
      freqs[i] = *f;
    }
  }
  return {};
}

}  // namespace

BlockSegmentPostings BlockSegmentPostings::empty() {
  BlockSegmentPostings p;
  p.docs_.fill(TERMINATED);
  p.freqs_.fill(1);
  p.loaded_ = true;
  return p;
}

Result<BlockSegmentPostings> BlockSegmentPostings::open(uint32_t doc_freq, OwnedBytes bytes, RecordOption field_option,
                                                        RecordOption requested_option) {
  BlockSegmentPostings p;
  p.doc_freq_ = doc_freq;
  p.docs_.fill(TERMINATED);
  p.freqs_.fill(1);
  bool freqs_absent = field_option == RecordOption::Basic;
  RecordOption layout = field_option;
  if (doc_freq >= TERMINATED) return fail(corrupt("document frequency past the largest doc id"));
  if (doc_freq >= kBlockLen) {
    std::span<const uint8_t> in = bytes.as_bytes();
    auto s = vint::read_u64(in);
    if (!s) return fail(s.error());
    uint64_t header = bytes.len() - in.size();
    if (*s > in.size()) return fail(corrupt("skip length past the term's postings"));
    uint64_t blocks = doc_freq / kBlockLen;
    if (*s < blocks * 8) {
      layout = RecordOption::Basic;
      freqs_absent = true;
    }
    if (*s < blocks * skip_entry_len(layout)) return fail(corrupt("skip data shorter than its entries"));
    p.skip_bytes_ = bytes.sub_range(header, header + *s);
    p.data_ = bytes.sub_range(header + *s, bytes.len());
  } else {
    p.data_ = bytes;
  }
  p.freq_mode_ = freqs_absent ? FreqMode::Absent
                 : requested_option != RecordOption::Basic ? FreqMode::Decoded
                                                           : FreqMode::Skipped;

  // Check every entry and the tail once, so that iteration never leaves the
  // term's bytes.
  SkipReader check(p.skip_bytes_.as_bytes(), doc_freq, layout);
  uint32_t previous_last = 0;
  bool first = true;
  while (!check.on_tail()) {
    uint32_t last = check.last_doc_in_block();
    if (last >= TERMINATED || (!first && last <= previous_last) || (first && last < kBlockLen - 1)) {
      return fail(corrupt("skip entries out of order"));
    }
    if (check.tf_width() > 32) return fail(corrupt("term frequency width above 32"));
    uint64_t end = check.block_offset() + 16 * (uint64_t{check.doc_width()} + check.tf_width());
    if (end > p.data_.len()) return fail(corrupt("block past the term's postings"));
    previous_last = last;
    first = false;
    check.advance();
  }
  if (check.tail_len() > 0) {
    uint64_t at = check.block_offset();
    if (at > p.data_.len()) return fail(corrupt("tail past the term's postings"));
    uint32_t docs[kBlockLen], freqs[kBlockLen];
    auto t = decode_tail(p.data_.as_bytes().subspan(at), check.tail_len(), check.previous_block_last_doc(),
                         doc_freq < kBlockLen, p.freq_mode_ == FreqMode::Decoded, docs, freqs);
    if (!t) return fail(t.error());
  }

  p.skip_ = SkipReader(p.skip_bytes_.as_bytes(), doc_freq, layout);
  p.load_block();
  return p;
}

void BlockSegmentPostings::fail_block(const char* what) {
  if (!error_) error_ = corrupt(what);
  docs_.fill(TERMINATED);
  doc_count_ = 0;
  skip_.terminate();
}

void BlockSegmentPostings::decode_packed() {
  const uint8_t* at = data_.data() + skip_.block_offset();
  uint8_t dw = skip_.doc_width();
  uint32_t prev = skip_.previous_block_last_doc();
  if (skip_.strict()) {
    unpack_block_running(at, dw, prev == 0 ? kNoPrevious : prev, 1, docs_.data());
  } else {
    unpack_block_running(at, dw, prev, 0, docs_.data());
  }
  doc_count_ = kBlockLen;
  // A damaged block could hand out unordered or huge ids; the entry's last
  // doc and a rising run pin it to what the skip data promised.
  bool ok = docs_[kBlockLen - 1] == skip_.last_doc_in_block() && (prev == 0 || docs_[0] > prev);
  for (size_t i = 1; i < kBlockLen; ++i) ok &= docs_[i] > docs_[i - 1];
  if (!ok) return fail_block("block docs contradict their skip entry");
  if (freq_mode_ == FreqMode::Decoded) {
    unpack_block(at + 16 * dw, skip_.tf_width(), freqs_.data());
    if (skip_.strict()) {
      for (auto& f : freqs_) f += 1;
    }
  }
}

void BlockSegmentPostings::load_block() {
  if (loaded_) return;
  loaded_ = true;
  if (!skip_.on_tail()) return decode_packed();
  uint32_t n = skip_.tail_len();
  docs_.fill(TERMINATED);
  doc_count_ = n;
  if (n == 0) return;
  // Checked at open; a failure here means the bytes changed under us.
  auto t = decode_tail(data_.as_bytes().subspan(skip_.block_offset()), n, skip_.previous_block_last_doc(),
                       doc_freq_ < kBlockLen, freq_mode_ == FreqMode::Decoded, docs_.data(), freqs_.data());
  if (!t) fail_block("tail changed after open");
}

void BlockSegmentPostings::advance() {
  skip_.advance();
  loaded_ = false;
  load_block();
}

size_t BlockSegmentPostings::seek(uint32_t target) {
  bool moved = false;
  while (skip_.last_doc_in_block() < target) {
    skip_.advance();
    moved = true;
  }
  if (moved) loaded_ = false;
  load_block();
  // Branch-free lower bound over the 128 slots (padding is TERMINATED).
  size_t start = 0;
  for (size_t half = 64; half > 0; half >>= 1) {
    start += docs_[start + half - 1] < target ? half : 0;
  }
  return std::min<size_t>(start, kBlockLen - 1);
}

}  // namespace fendral::postings
