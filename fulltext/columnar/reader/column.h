// Opened columns: a column index plus shared values of one kind, and the
// dictionary-encoded byte and text columns.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <variant>
#include <vector>

#include "fulltext/columnar/column_index/column_index.h"
#include "fulltext/columnar/column_type.h"
#include "fulltext/columnar/column_values/column_values.h"
#include "fulltext/columnar/column_values/compact_space.h"
#include "fulltext/sstable/dictionary.h"

namespace fendral::columnar {

template <class T>
struct Column {
  ColumnIndex index;
  std::shared_ptr<const ColumnValues<T>> values;

  // The rows [first, last) holding doc's values.
  std::pair<uint32_t, uint32_t> row_range(uint32_t doc) const { return index.value_row_range(doc); }
  // Appends doc's values in row order.
  void values_for_doc(uint32_t doc, std::vector<T>& out) const {
    auto [a, b] = row_range(doc);
    for (uint32_t r = a; r < b && r < values->num_vals(); ++r) out.push_back(values->get_val(r));
  }
};

// Term ordinals into a sorted dictionary of the column's distinct terms.
struct BytesColumn {
  std::shared_ptr<const sstable::Dictionary> dictionary;
  Column<uint64_t> ords;
};
struct StrColumn {
  std::shared_ptr<const sstable::Dictionary> dictionary;
  Column<uint64_t> ords;
};

using DynamicColumn = std::variant<Column<bool>, Column<int64_t>, Column<uint64_t>, Column<double>, Column<U128>,
                                   Column<DateTime>, BytesColumn, StrColumn>;

ColumnType dynamic_column_type(const DynamicColumn& c);
const ColumnIndex& dynamic_column_index(const DynamicColumn& c);

}  // namespace fendral::columnar
