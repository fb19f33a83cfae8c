#include "fulltext/directory/composite_file.h"

#include <fmt/format.h>

#include "fulltext/common/vint.h"

namespace fendral {

CompositeWrite::CompositeWrite(std::unique_ptr<TerminatingWrite> writer)
    : writer_(std::move(writer)), counting_(writer_.get()) {}

Write& CompositeWrite::for_field_with_index(uint32_t field, uint64_t idx) {
  FileAddr addr{field, idx};
  for (const auto& [a, off] : offsets_) {
    if (a == addr) contract_violation("assertion failed: !self.offsets.iter().any(|el| el.0 == file_addr)");
  }
  offsets_.emplace_back(addr, counting_.written_bytes());
  return counting_;
}

IoResult<void> CompositeWrite::close() {
  std::unique_ptr<TerminatingWrite> writer = std::move(writer_);
  uint64_t table_start = counting_.written_bytes();
  std::vector<uint8_t> table;
  vint::append(table, offsets_.size());
  uint64_t prev = 0;
  for (const auto& [addr, offset] : offsets_) {
    vint::append(table, offset - prev);
    for (int i = 0; i < 4; ++i) table.push_back(static_cast<uint8_t>(addr.field >> (8 * i)));
    vint::append(table, addr.idx);
    prev = offset;
  }
  if (auto r = counting_.write_all(table); !r) return r;
  uint32_t t = static_cast<uint32_t>(counting_.written_bytes() - table_start);
  uint8_t len_bytes[4];
  for (int i = 0; i < 4; ++i) len_bytes[i] = static_cast<uint8_t>(t >> (8 * i));
  if (auto r = counting_.write_all(std::span<const uint8_t>(len_bytes, 4)); !r) return r;
  if (auto r = writer->flush(); !r) return r;
  return writer->terminate_ref();
}

CompositeFile CompositeFile::empty() { return CompositeFile(); }

IoResult<CompositeFile> CompositeFile::open(const FileSlice& body) {
  size_t len = body.len();
  if (len < 4) return io_fail(IoErrorKind::UnexpectedEof, "failed to fill whole buffer");
  auto tail = body.read_range(len - 4, len);
  if (!tail) return std::unexpected(tail.error());
  const uint8_t* p = tail->data();
  uint64_t t = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
  if (t > len - 4) {
    return io_fail(IoErrorKind::InvalidData,
                   fmt::format("Composite file table of {} bytes does not fit a body of {} bytes", t, len));
  }
  uint64_t table_start = len - 4 - t;
  auto table_bytes = body.read_range(table_start, len - 4);
  if (!table_bytes) return std::unexpected(table_bytes.error());
  std::span<const uint8_t> in = table_bytes->as_bytes();
  auto n = vint::read_u64(in);
  if (!n) return std::unexpected(n.error());
  std::vector<std::pair<FileAddr, uint64_t>> entries;
  uint64_t offset = 0;
  for (uint64_t i = 0; i < *n; ++i) {
    auto delta = vint::read_u64(in);
    if (!delta) return std::unexpected(delta.error());
    if (in.size() < 4) return io_fail(IoErrorKind::UnexpectedEof, "failed to fill whole buffer");
    uint32_t field = uint32_t(in[0]) | uint32_t(in[1]) << 8 | uint32_t(in[2]) << 16 | uint32_t(in[3]) << 24;
    in = in.subspan(4);
    auto idx = vint::read_u64(in);
    if (!idx) return std::unexpected(idx.error());
    if (*delta > table_start - offset) {
      return io_fail(IoErrorKind::InvalidData,
                     fmt::format("Composite file entry starts past the table ({} > {})", offset + *delta, table_start));
    }
    offset += *delta;
    entries.emplace_back(FileAddr{field, *idx}, offset);
  }
  CompositeFile file;
  for (size_t i = 0; i < entries.size(); ++i) {
    uint64_t end = i + 1 < entries.size() ? entries[i + 1].second : table_start;
    file.offsets_.insert_or_assign(entries[i].first, std::pair<uint64_t, uint64_t>(entries[i].second, end));
  }
  file.data_ = body.sub_slice(0, table_start);
  return file;
}

std::optional<FileSlice> CompositeFile::open_read_with_idx(uint32_t field, uint64_t idx) const {
  auto it = offsets_.find(FileAddr{field, idx});
  if (it == offsets_.end()) return std::nullopt;
  return data_.sub_slice(it->second.first, it->second.second);
}

}  // namespace fendral
