// Which document of which input becomes which row of a merged fast-field
// file, and the walks over the inputs that every merged column shares.
//
// Stacked: inputs one after the other; input i's doc d becomes row
// cumulative_rows[i - 1] + d. Shuffled: new_to_old lists the (input, doc) of
// every output row; documents it does not list are dropped. alive_bitsets[i]
// is present exactly for the inputs with deleted documents.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <variant>
#include <vector>

#include "fulltext/columnar/column_index/column_index.h"
#include "fulltext/common/bitset.h"

namespace fendral::columnar {

struct RowAddress {
  uint32_t segment_ord = 0;
  uint32_t row_id = 0;
};

struct StackedOrder {
  std::vector<uint32_t> cumulative_rows;
};

struct ShuffledOrder {
  std::vector<RowAddress> new_to_old;
  std::vector<std::optional<ReadOnlyBitSet>> alive_bitsets;
};

struct MergeRowOrder {
  std::variant<StackedOrder, ShuffledOrder> order;

  static MergeRowOrder stacked(std::vector<uint32_t> cumulative_rows) {
    return MergeRowOrder{StackedOrder{std::move(cumulative_rows)}};
  }
  static MergeRowOrder shuffled(std::vector<RowAddress> new_to_old,
                                std::vector<std::optional<ReadOnlyBitSet>> alive_bitsets) {
    return MergeRowOrder{ShuffledOrder{std::move(new_to_old), std::move(alive_bitsets)}};
  }
  bool is_stacked() const { return std::holds_alternative<StackedOrder>(order); }
  const ReadOnlyBitSet* alive_bitset(size_t input) const;
  uint32_t num_rows() const;
};

// Calls f(output row, input, doc, first row, end row) for every output row,
// in output order, with the doc's rows in the input's column index. Inputs
// beyond `indexes` (invariant failures of the order) contribute no rows.
void for_each_output_doc(const MergeRowOrder& order, const std::vector<ColumnIndex>& indexes,
                         const std::function<void(uint32_t, uint32_t, uint32_t, uint32_t, uint32_t)>& f);

// Calls f(doc) for every alive doc below num_docs, ascending, until f returns
// false.
void for_each_alive(const ReadOnlyBitSet& alive, uint32_t num_docs, const std::function<bool(uint32_t)>& f);

}  // namespace fendral::columnar
