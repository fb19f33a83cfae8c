// Merge of Str and Bytes columns: the inputs' sorted dictionaries become one
// (terms only deleted documents used are dropped under a shuffled order), and
// every stored ordinal is translated to the merged dictionary's.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "fulltext/columnar/merge/merge_row_order.h"
#include "fulltext/columnar/reader/column.h"

namespace fendral::columnar {

struct DictionaryInput {
  std::shared_ptr<const sstable::Dictionary> dictionary;
  Column<uint64_t> ords;
};

// Appends the merged column: dictionary sstable, column index, ordinals,
// u32 index length, u32 dictionary length.
IoResult<void> merge_dictionary_column(const std::vector<uint32_t>& num_docs,
                                       const std::vector<std::optional<DictionaryInput>>& inputs,
                                       const MergeRowOrder& order, std::vector<uint8_t>& out);

// Advances over the union of several dictionaries' keys, in key order; the
// inputs holding the current key are listed in ascending input order.
class TermMerger {
 public:
  explicit TermMerger(std::vector<std::optional<sstable::Streamer>> streamers);
  IoResult<bool> advance();
  std::span<const uint8_t> current_key() const { return key_; }
  struct Holder {
    uint32_t input;
    uint64_t ord;
  };
  const std::vector<Holder>& current() const { return current_; }

 private:
  std::vector<std::optional<sstable::Streamer>> streamers_;
  std::vector<uint32_t> pending_;  // inputs to advance before the next key
  std::vector<uint32_t> heap_;     // inputs standing on a key
  std::vector<Holder> current_;
  std::vector<uint8_t> key_;
};

}  // namespace fendral::columnar
