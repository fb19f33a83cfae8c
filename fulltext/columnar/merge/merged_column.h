// The column index and values of one merged column, streamed from the
// inputs. Both are walked afresh on every call, as the codecs pass over the
// values twice.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "fulltext/columnar/column_index/column_index.h"
#include "fulltext/columnar/column_values/column_values.h"
#include "fulltext/columnar/column_values/compact_space.h"
#include "fulltext/columnar/merge/merge_row_order.h"

namespace fendral::columnar {

// The merged cardinality of the inputs' indexes under the order.
Cardinality merged_cardinality(const std::vector<ColumnIndex>& indexes, const MergeRowOrder& order);

// merge_column_index: what ColumnIndex::serialize writes for the merged
// column. Borrows the indexes and the order.
class MergedColumnIndex final : public U64Source {
 public:
  MergedColumnIndex(const std::vector<ColumnIndex>& indexes, const MergeRowOrder& order);
  const ColumnIndexToWrite& to_write() const { return to_write_; }
  // The start offsets (Multivalued).
  void visit(const std::function<void(std::span<const uint64_t>)>& sink) const override;

 private:
  const std::vector<ColumnIndex>& indexes_;
  const MergeRowOrder& order_;
  ColumnIndexToWrite to_write_;
};

// The merged values in output row order; `remap` (when given) translates
// each value of input i (term ordinals).
class MergedColumnValues final : public U64Source {
 public:
  MergedColumnValues(const std::vector<ColumnIndex>& indexes,
                     const std::vector<std::shared_ptr<const ColumnValues<uint64_t>>>& values, const MergeRowOrder& order,
                     const std::vector<std::vector<uint64_t>>* remap = nullptr)
      : indexes_(indexes), values_(values), order_(order), remap_(remap) {}
  void visit(const std::function<void(std::span<const uint64_t>)>& sink) const override;

 private:
  const std::vector<ColumnIndex>& indexes_;
  const std::vector<std::shared_ptr<const ColumnValues<uint64_t>>>& values_;
  const MergeRowOrder& order_;
  const std::vector<std::vector<uint64_t>>* remap_;
};

// The same for 128-bit values.
U128Visitor merged_u128_values(const std::vector<ColumnIndex>& indexes,
                               const std::vector<std::shared_ptr<const ColumnValues<U128>>>& values,
                               const MergeRowOrder& order);

}  // namespace fendral::columnar
