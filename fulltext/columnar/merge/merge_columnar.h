// Merges the fast-field files of the segments being merged into the file of
// the merged segment, rows in the given MergeRowOrder.
//
// Columns of one name and one type category are merged together; columns
// of different numerical types take a common type (I64, else U64, else F64,
// unless a required column fixes it). Input columns that no surviving
// document uses are left out; a required column is written even when no
// input holds it. The output has the layout the columnar writer produces.
//
// Errors are I/O errors; on error the output holds a partial file.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "fulltext/columnar/merge/merge_row_order.h"
#include "fulltext/columnar/reader/columnar_reader.h"
#include "fulltext/common/io.h"

namespace fendral::columnar {

IoResult<void> merge_columnar(const std::vector<const ColumnarReader*>& readers,
                              const std::vector<std::pair<std::string, ColumnType>>& required_columns,
                              const MergeRowOrder& order, Write& output);

}  // namespace fendral::columnar
