// The end of every fast-field file: the column directory (an sstable from
// name, 0x00, type code to the column's byte range) and the 20-byte footer
// (u64 directory length, u32 num_rows, u32 format version 2, u32 magic).
// Shared by the columnar writer and the columnar merge.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "fulltext/columnar/column_type.h"
#include "fulltext/common/io.h"
#include "fulltext/sstable/writer.h"

namespace fendral::columnar {

class ColumnDirectoryWriter {
 public:
  ColumnDirectoryWriter();
  // Keys must arrive in strictly increasing (name, type) order.
  IoResult<void> add(std::span<const uint8_t> name, ColumnType type, uint64_t start, uint64_t end);
  // Appends the directory and the footer, then flushes.
  IoResult<void> finish(CountingWriter& out, uint32_t num_rows);

 private:
  std::vector<uint8_t> buffer_;
  VecWriter buffer_out_;
  sstable::Writer sstable_;
  std::vector<uint8_t> key_;
};

}  // namespace fendral::columnar
