// Stored bit set over document ids below a bound: u32 little-endian id_bound,
// then 64-bit little-endian words; id i is present when bit (i mod 64) of
// word (i div 64) is set. Ids at or above the bound are never reported.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "fulltext/common/owned_bytes.h"
#include "fulltext/error/error.h"

namespace fendral {

// Writer side: a mutable set, serialised in the stored form.
class BitSetBuilder {
 public:
  explicit BitSetBuilder(uint32_t id_bound) : id_bound_(id_bound), words_((id_bound + 63ull) / 64, 0) {}
  void insert(uint32_t id) { words_[id / 64] |= uint64_t{1} << (id % 64); }
  void insert_all();
  std::vector<uint8_t> serialize() const;

 private:
  uint32_t id_bound_;
  std::vector<uint64_t> words_;
};

// Read view over the stored form.
class ReadOnlyBitSet {
 public:
  // Checks that the words cover id_bound; anything else is DataCorruption.
  static Result<ReadOnlyBitSet> open(OwnedBytes bytes);

  uint32_t id_bound() const { return id_bound_; }
  uint32_t len() const { return num_set_; }  // population count, computed once
  bool contains(uint32_t id) const;
  const OwnedBytes& words() const { return words_; }

  class Iterator {
   public:
    explicit Iterator(const ReadOnlyBitSet* set) : set_(set) {}
    std::optional<uint32_t> next();
    size_t size_hint_lower() const { return 0; }
    // Skips n ids and returns the next one.
    std::optional<uint32_t> nth(size_t n);

   private:
    const ReadOnlyBitSet* set_;
    size_t word_index_ = 0;
    uint64_t current_ = 0;
    bool loaded_ = false;
  };
  Iterator iter() const { return Iterator(this); }

 private:
  uint64_t word(size_t i) const;
  OwnedBytes words_;
  uint32_t id_bound_ = 0;
  uint32_t num_set_ = 0;
};

}  // namespace fendral
