#include "fulltext/query/doc_set.h"

namespace fendral::query {

uint32_t DocSet::seek(uint32_t target) {
  uint32_t d = doc();
  while (d < target) d = advance();
  return d;
}

bool DocSet::seek_exact(uint32_t target) {
  if (target >= TERMINATED) return false;
  return seek(target) == target;
}

size_t DocSet::fill_buffer(std::span<uint32_t, 64> buffer) {
  size_t n = 0;
  for (uint32_t d = doc(); d != TERMINATED && n < buffer.size(); d = advance()) buffer[n++] = d;
  return n;
}

uint32_t DocSet::count(const ReadOnlyBitSet& alive) {
  uint32_t n = 0;
  for (uint32_t d = doc(); d != TERMINATED; d = advance()) n += alive.contains(d) ? 1 : 0;
  return n;
}

uint32_t DocSet::count_including_deleted() {
  uint32_t n = 0;
  for (uint32_t d = doc(); d != TERMINATED; d = advance()) ++n;
  return n;
}

uint32_t AllScorer::advance() {
  if (doc_ == TERMINATED) return doc_;
  doc_ = doc_ + 1 >= max_doc_ ? TERMINATED : doc_ + 1;
  return doc_;
}

uint32_t AllScorer::seek(uint32_t target) {
  if (doc_ == TERMINATED || target <= doc_) return doc_;
  doc_ = target >= max_doc_ ? TERMINATED : target;
  return doc_;
}

}  // namespace fendral::query
