#include "fulltext/columnar/writer/column_directory.h"

#include "fulltext/columnar/writer/columnar_writer.h"
#include "fulltext/common/le_bytes.h"

namespace fendral::columnar {

ColumnDirectoryWriter::ColumnDirectoryWriter()
    : buffer_out_(&buffer_), sstable_(&buffer_out_, sstable::ValueKind::Ranges) {
  buffer_.reserve(100000);
}

IoResult<void> ColumnDirectoryWriter::add(std::span<const uint8_t> name, ColumnType type, uint64_t start,
                                          uint64_t end) {
  key_.assign(name.begin(), name.end());
  key_.push_back(0);
  key_.push_back(static_cast<uint8_t>(type));
  return sstable_.insert(key_, sstable::Range{start, end});
}

IoResult<void> ColumnDirectoryWriter::finish(CountingWriter& out, uint32_t num_rows) {
  if (auto r = sstable_.finish(); !r) return std::unexpected(r.error());
  append_le<uint64_t>(buffer_, buffer_.size());
  append_le<uint32_t>(buffer_, num_rows);
  append_le<uint32_t>(buffer_, kFormatVersion);
  append_le<uint32_t>(buffer_, kMagic);
  if (auto r = out.write_all(buffer_); !r) return r;
  return out.flush();
}

}  // namespace fendral::columnar
