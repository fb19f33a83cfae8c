#include "fulltext/postings/segment_postings.h"

#include <algorithm>

namespace fendral::postings {

uint32_t SegmentPostings::advance() {
  if (cur_ == kBlockLen - 1) {
    cur_ = 0;
    block_.advance();
  } else {
    ++cur_;
  }
  return doc();
}

uint32_t SegmentPostings::seek(uint32_t target) {
  if (doc() >= target) return doc();
  size_t ahead = std::min<size_t>(cur_, kBlockLen - 2) + 1;
  cur_ = ahead;
  if (doc() >= target) return doc();
  cur_ = block_.seek(target);
  return doc();
}

bool SegmentPostings::seek_exact(uint32_t target) {
  if (target >= TERMINATED) return false;
  return seek(target) == target;
}

size_t SegmentPostings::fill_buffer(std::span<uint32_t, 64> buffer) {
  size_t n = 0;
  while (n < buffer.size() && doc() != TERMINATED) {
    buffer[n++] = doc();
    advance();
  }
  return n;
}

uint32_t SegmentPostings::count(const ReadOnlyBitSet& alive) {
  uint32_t n = 0;
  for (uint32_t d = doc(); d != TERMINATED; d = advance()) n += alive.contains(d) ? 1 : 0;
  return n;
}

uint32_t SegmentPostings::count_including_deleted() {
  uint32_t n = 0;
  for (uint32_t d = doc(); d != TERMINATED; d = advance()) ++n;
  return n;
}

Result<void> SegmentPostings::positions_with_offset(uint32_t offset, std::vector<uint32_t>& out) {
  if (!positions_ || doc() == TERMINATED) return {};
  uint32_t tf = term_freq();
  uint64_t at = block_.position_offset();
  for (size_t i = 0; i < cur_; ++i) at += block_.freq(i);
  // Frequencies come from the file: bound them before sizing the output.
  if (at > positions_->max_positions() || tf > positions_->max_positions() - at) {
    return fail(FendralError::data_corruption(std::nullopt, "positions: term frequency past the term's positions"));
  }
  size_t begin = out.size();
  out.resize(begin + tf, 0);
  auto r = positions_->read(at, std::span<uint32_t>(out.data() + begin, tf));
  if (!r) {
    out.resize(begin);
    return r;
  }
  uint32_t running = offset;
  for (size_t i = begin; i < out.size(); ++i) {
    running += out[i];
    out[i] = running;
  }
  return {};
}

}  // namespace fendral::postings
