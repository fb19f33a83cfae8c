// A registered segment: its meta, the alive bitset its worker computed (until
// a commit writes it to a delete file) and its place in the delete queue.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "fulltext/index/index_meta.h"
#include "fulltext/indexer/delete_queue.h"

namespace fendral::indexer {

// A mutable alive bitset: bit d set while document d is alive.
class AliveBitSet {
 public:
  explicit AliveBitSet(uint32_t max_doc);  // every doc alive
  uint32_t max_doc() const { return max_doc_; }
  uint32_t len() const { return count_; }
  bool contains(uint32_t d) const { return (words_[d / 64] >> (d % 64)) & 1; }
  void remove(uint32_t d);
  // The delete-file body: u32 LE max_doc, then the words, u64 LE.
  std::vector<uint8_t> serialize() const;

 private:
  uint32_t max_doc_;
  uint32_t count_;
  std::vector<uint64_t> words_;
};

struct SegmentEntry {
  index::SegmentMeta meta;
  DeleteCursor cursor;
  std::optional<AliveBitSet> alive;
};

}  // namespace fendral::indexer
