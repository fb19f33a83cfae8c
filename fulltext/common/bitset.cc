#include "fulltext/common/bitset.h"

#include <fmt/format.h>

#include <bit>

namespace fendral {

void BitSetBuilder::insert_all() {
  for (uint32_t i = 0; i < id_bound_; ++i) insert(i);
}

std::vector<uint8_t> BitSetBuilder::serialize() const {
  std::vector<uint8_t> out(4 + words_.size() * 8);
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(id_bound_ >> (8 * i));
  for (size_t w = 0; w < words_.size(); ++w) {
    for (int i = 0; i < 8; ++i) out[4 + w * 8 + i] = static_cast<uint8_t>(words_[w] >> (8 * i));
  }
  return out;
}

Result<ReadOnlyBitSet> ReadOnlyBitSet::open(OwnedBytes bytes) {
  if (bytes.len() < 4) return fail(FendralError::data_corruption(std::nullopt, "Bit set shorter than its header"));
  const uint8_t* p = bytes.data();
  uint32_t bound = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  OwnedBytes words = bytes.sub_range(4, bytes.len());
  uint64_t needed = (uint64_t{bound} + 63) / 64 * 8;
  if (words.len() < needed || words.len() % 8 != 0) {
    return fail(FendralError::data_corruption(
        std::nullopt, fmt::format("Bit set of bound {} holds {} bytes of words", bound, words.len())));
  }
  ReadOnlyBitSet set;
  set.words_ = words;
  set.id_bound_ = bound;
  uint64_t count = 0;
  for (size_t i = 0; i < words.len() / 8; ++i) count += std::popcount(set.word(i));
  // Bits at or above the bound are not members.
  if (bound % 64 != 0 || words.len() / 8 > bound / 64) {
    count = 0;
    auto it = set.iter();
    while (it.next()) ++count;
  }
  set.num_set_ = static_cast<uint32_t>(count);
  return set;
}

uint64_t ReadOnlyBitSet::word(size_t i) const {
  uint64_t w = 0;
  std::memcpy(&w, words_.data() + i * 8, 8);
  return w;  // little-endian host
}

bool ReadOnlyBitSet::contains(uint32_t id) const {
  if (id >= id_bound_) return false;
  return (words_.data()[id / 8] >> (id % 8)) & 1;
}

std::optional<uint32_t> ReadOnlyBitSet::Iterator::next() {
  size_t num_words = set_->words_.len() / 8;
  while (true) {
    if (!loaded_) {
      if (word_index_ >= num_words) return std::nullopt;
      current_ = set_->word(word_index_);
      loaded_ = true;
    }
    if (current_ == 0) {
      loaded_ = false;
      ++word_index_;
      continue;
    }
    uint64_t id = word_index_ * 64 + std::countr_zero(current_);
    current_ &= current_ - 1;
    if (id >= set_->id_bound_) {
      word_index_ = num_words;  // nothing at or above the bound is reported
      loaded_ = false;
      return std::nullopt;
    }
    return static_cast<uint32_t>(id);
  }
}

std::optional<uint32_t> ReadOnlyBitSet::Iterator::nth(size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (!next()) return std::nullopt;
  }
  return next();
}

}  // namespace fendral
