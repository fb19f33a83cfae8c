// The read side of a segment's fast fields (".fast"): columns looked up by
// path, a field name optionally followed by "." and a JSON path.
//
//   auto ff = reader.fast_fields();                           // SegmentReader
//   auto col = (*ff)->column_as_u64("price", kNumericTypes);  // (column, type) or none
//
// A path that names no column in this segment gives none, not an error; a
// field that is not fast is InvalidArgument "Field \"x\" is not configured
// as fast field"; damaged column bytes are IoErrors. Immutable and shared.
#pragma once

#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <utility>

#include "fulltext/columnar/reader/columnar_reader.h"
#include "fulltext/error/error.h"
#include "fulltext/schema/schema.h"

namespace fendral::fastfield {

class FastFieldReaders {
 public:
  // Refuses (DataCorruption) a file whose row count differs from max_doc.
  static Result<std::shared_ptr<const FastFieldReaders>> open(FileSlice file, schema::Schema schema,
                                                              uint32_t max_doc);

  // The first column of `path` with this type.
  Result<std::optional<columnar::DynamicColumnHandle>> column_handle(std::string_view path,
                                                                    columnar::ColumnType type) const;
  Result<std::optional<columnar::StrColumn>> str_column(std::string_view path) const;
  Result<std::optional<columnar::BytesColumn>> bytes_column(std::string_view path) const;
  Result<std::optional<columnar::Column<columnar::U128>>> ip_column(std::string_view path) const;
  // The first column of `path`, in type-code order, whose type is listed
  // (any when no list) and that reads as u64 (IP columns never do).
  Result<std::optional<std::pair<columnar::Column<uint64_t>, columnar::ColumnType>>> column_as_u64(
      std::string_view path, std::optional<std::span<const columnar::ColumnType>> types) const;

 private:
  FastFieldReaders(columnar::ColumnarReader columnar, schema::Schema schema)
      : columnar_(std::move(columnar)), schema_(std::move(schema)) {}
  Result<std::vector<columnar::DynamicColumnHandle>> handles(std::string_view path) const;
  template <class C>
  Result<std::optional<C>> open_as(std::string_view path, columnar::ColumnType type) const;

  columnar::ColumnarReader columnar_;
  schema::Schema schema_;
};

}  // namespace fendral::fastfield
