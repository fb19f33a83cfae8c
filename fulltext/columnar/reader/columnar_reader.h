// Reader of a segment's fast-field file.
//
// File layout, integers little-endian:
//   column data | column directory (sstable, D bytes) | u64 D | u32 num_rows
//   | u32 format version (2 written; 1 and 2 read) | u32 magic 0x42777102
// The directory maps name, 0x00, type code -> byte range of the column in
// the column data. Bytes of one column by type:
//   numeric and Bool: column index | u64 column values | u32 index length
//   IpAddr:           column index | compact-space values | u32 index length
//   Bytes, Str:       dictionary sstable | a U64 column of term ordinals |
//                     u32 dictionary length
// The reader and every opened column are immutable and shared between
// threads; opening checks every stored length, so reads never leave the
// bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "fulltext/columnar/reader/column.h"
#include "fulltext/common/file_slice.h"

namespace fendral::columnar {

class DynamicColumnHandle {
 public:
  DynamicColumnHandle(FileSlice slice, uint32_t format_version, ColumnType type)
      : slice_(std::move(slice)), format_version_(format_version), type_(type) {}

  ColumnType column_type() const { return type_; }
  uint32_t format_version() const { return format_version_; }
  const FileSlice& file_slice() const { return slice_; }

  IoResult<DynamicColumn> open() const;
  // Any type as u64: the stored order-preserving numbers, term ordinals, or
  // compact codes of addresses.
  IoResult<Column<uint64_t>> open_as_u64() const;

 private:
  FileSlice slice_;
  uint32_t format_version_;
  ColumnType type_;
};

// Opens the bytes of a column of stored u64 values.
IoResult<Column<uint64_t>> open_column_u64(OwnedBytes bytes, uint32_t format_version);

class ColumnarReader {
 public:
  static IoResult<ColumnarReader> open(FileSlice file);

  uint32_t num_rows() const { return num_rows_; }
  uint32_t format_version() const { return format_version_; }

  // The columns stored under `name`, by ascending type code.
  IoResult<std::vector<DynamicColumnHandle>> read_columns(std::string_view name) const;

  struct NamedHandle {
    std::string name;  // invalid UTF-8 replaced by U+FFFD
    DynamicColumnHandle handle;
  };
  // Every column in directory order. A key of fewer than 2 bytes is corrupt.
  IoResult<std::vector<NamedHandle>> list_columns() const;

 private:
  IoResult<DynamicColumnHandle> handle_for(std::span<const uint8_t> key, sstable::Range range) const;
  std::shared_ptr<const sstable::Dictionary> directory_;
  FileSlice column_data_;
  uint32_t format_version_ = 2;
  uint32_t num_rows_ = 0;
};

}  // namespace fendral::columnar
