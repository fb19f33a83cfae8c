// Which documents of a column have a value, in blocks of 65536 documents.
//
// Bytes: common VInt num_rows; the data of every block holding a row, in
// block order (sparse: u16 LE in-block positions, ascending; dense, at 5120
// rows or more: 1024 groups of u64 LE bitmap + u16 LE count of the rows in
// earlier groups of the block); one u32 per such block (bits 0-15 block
// number, 16-31 rows - 1); u16 number of such blocks.
//
// rank(doc) is the number of present docs before doc (its row id);
// select(row) is the doc holding a row. Open checks every length, so no
// query reads outside the bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "fulltext/common/owned_bytes.h"
#include "fulltext/error/error.h"

namespace fendral::columnar {

constexpr uint32_t kBlockRows = 65536;
constexpr uint32_t kDenseThreshold = 5120;
constexpr size_t kDenseBlockBytes = 10240;

class OptionalIndex {
 public:
  struct BlockInfo {
    bool dense = false;
    uint32_t count = 0;  // present rows
    uint32_t rows_before = 0;
    uint32_t data_offset = 0;
  };

  static IoResult<OptionalIndex> open(OwnedBytes bytes);

  uint32_t num_rows() const { return num_rows_; }
  uint32_t num_non_null_rows() const { return num_non_null_rows_; }
  bool contains(uint32_t doc) const { return rank_if_exists(doc).has_value(); }
  // num_non_null_rows for a doc at or beyond num_rows.
  uint32_t rank(uint32_t doc) const;
  std::optional<uint32_t> rank_if_exists(uint32_t doc) const;

  // Forward-only row -> doc translation; rows passed must not decrease.
  class SelectCursor {
   public:
    explicit SelectCursor(const OptionalIndex* index) : index_(index) {}
    uint32_t select(uint32_t row);

   private:
    const OptionalIndex* index_;
    size_t block_ = 0;
    uint64_t next_block_rank_ = 0;
    uint32_t group_ = 0;
  };
  SelectCursor select_cursor() const { return SelectCursor(this); }

  // Writes the index over the ascending docs a visitor yields.
  static void serialize(uint32_t num_rows, const std::function<void(const std::function<void(uint32_t)>&)>& docs,
                        std::vector<uint8_t>& out);

 private:
  const uint8_t* block_data(const BlockInfo& b) const { return data_.data() + b.data_offset; }
  OwnedBytes data_;
  std::shared_ptr<const std::vector<BlockInfo>> blocks_;
  uint32_t num_rows_ = 0;
  uint32_t num_non_null_rows_ = 0;
};

}  // namespace fendral::columnar
