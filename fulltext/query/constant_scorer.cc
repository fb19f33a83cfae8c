#include "fulltext/query/constant_scorer.h"

#include <bit>

namespace fendral::query {

BitSetDocSet::BitSetDocSet(DocBitSet bits) : bits_(std::move(bits)) { doc_ = next_from(0); }

uint32_t BitSetDocSet::next_from(uint32_t from) const {
  if (from >= bits_.max_doc()) return TERMINATED;
  const auto& words = bits_.words();
  size_t i = from / 64;
  uint64_t w = words[i] & (~uint64_t{0} << (from % 64));
  for (;;) {
    if (w != 0) return static_cast<uint32_t>(i * 64 + static_cast<size_t>(std::countr_zero(w)));
    if (++i >= words.size()) return TERMINATED;
    w = words[i];
  }
}

uint32_t BitSetDocSet::advance() {
  if (doc_ != TERMINATED) doc_ = next_from(doc_ + 1);
  return doc_;
}

uint32_t BitSetDocSet::seek(uint32_t target) {
  if (doc_ == TERMINATED || target <= doc_) return doc_;
  doc_ = next_from(target);
  return doc_;
}

}  // namespace fendral::query
