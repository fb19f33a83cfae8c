#include "fulltext/columnar/reader/columnar_reader.h"

#include <cstring>

#include "common/utf8.h"
#include "fulltext/columnar/writer/columnar_writer.h"

namespace fendral::columnar {

namespace {

IoError invalid(std::string msg) { return IoError(IoErrorKind::InvalidData, std::move(msg)); }

std::string lossy_utf8(std::span<const uint8_t> bytes) {
  std::string out;
  std::string_view rest(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  while (true) {
    auto err = zudizid::common::validate_utf8(rest);
    if (!err) {
      out += rest;
      return out;
    }
    out += rest.substr(0, err->valid_up_to);
    out += "\xEF\xBF\xBD";
    size_t skip = err->valid_up_to + err->error_len.value_or(rest.size() - err->valid_up_to);
    rest = rest.substr(skip);
  }
}

// Splits column bytes into the body and a trailing u32.
IoResult<std::pair<OwnedBytes, uint32_t>> split_trailing_len(const OwnedBytes& bytes) {
  if (bytes.len() < 4) return std::unexpected(invalid("Column shorter than 4 bytes"));
  uint32_t len;
  std::memcpy(&len, bytes.data() + bytes.len() - 4, 4);
  if (len > bytes.len() - 4) return std::unexpected(invalid("Column length field beyond its bytes"));
  return std::pair<OwnedBytes, uint32_t>{bytes.sub_range(0, bytes.len() - 4), len};
}

template <class T>
IoResult<Column<T>> open_typed(const OwnedBytes& bytes, uint32_t format_version) {
  auto split = split_trailing_len(bytes);
  if (!split) return std::unexpected(split.error());
  auto& [body, index_len] = *split;
  auto index = ColumnIndex::open(body.sub_range(0, index_len), format_version);
  if (!index) return std::unexpected(index.error());
  auto values = load_u64_based_column_values<T>(body.sub_range(index_len, body.len()));
  if (!values) return std::unexpected(values.error());
  return Column<T>{std::move(*index), std::move(*values)};
}

IoResult<std::shared_ptr<const CompactSpaceReader>> open_ip(const OwnedBytes& bytes, uint32_t format_version,
                                                            ColumnIndex& index_out) {
  auto split = split_trailing_len(bytes);
  if (!split) return std::unexpected(split.error());
  auto& [body, index_len] = *split;
  auto index = ColumnIndex::open(body.sub_range(0, index_len), format_version);
  if (!index) return std::unexpected(index.error());
  auto reader = CompactSpaceReader::open(body.sub_range(index_len, body.len()));
  if (!reader) return std::unexpected(reader.error());
  index_out = std::move(*index);
  return std::make_shared<const CompactSpaceReader>(std::move(*reader));
}

struct DictColumnParts {
  std::shared_ptr<const sstable::Dictionary> dictionary;
  Column<uint64_t> ords;
};

IoResult<DictColumnParts> open_dictionary_column(const OwnedBytes& bytes, uint32_t format_version) {
  auto split = split_trailing_len(bytes);
  if (!split) return std::unexpected(split.error());
  auto& [body, dict_len] = *split;
  auto dict = sstable::Dictionary::open(body.sub_range(0, dict_len), sstable::ValueKind::KeysOnly);
  if (!dict) return std::unexpected(dict.error());
  auto ords = open_column_u64(body.sub_range(dict_len, body.len()), format_version);
  if (!ords) return std::unexpected(ords.error());
  return DictColumnParts{std::make_shared<const sstable::Dictionary>(std::move(*dict)), std::move(*ords)};
}

}  // namespace

ColumnType dynamic_column_type(const DynamicColumn& c) {
  constexpr ColumnType kTypes[] = {ColumnType::Bool,   ColumnType::I64,      ColumnType::U64,   ColumnType::F64,
                                   ColumnType::IpAddr, ColumnType::DateTime, ColumnType::Bytes, ColumnType::Str};
  return kTypes[c.index()];
}

const ColumnIndex& dynamic_column_index(const DynamicColumn& c) {
  return std::visit(
      [](const auto& col) -> const ColumnIndex& {
        if constexpr (requires { col.ords; }) {
          return col.ords.index;
        } else {
          return col.index;
        }
      },
      c);
}

IoResult<Column<uint64_t>> open_column_u64(OwnedBytes bytes, uint32_t format_version) {
  return open_typed<uint64_t>(bytes, format_version);
}

IoResult<DynamicColumn> DynamicColumnHandle::open() const {
  auto bytes = slice_.read_all();
  if (!bytes) return std::unexpected(bytes.error());
  auto wrap = [](auto r) -> IoResult<DynamicColumn> {
    if (!r) return std::unexpected(r.error());
    return DynamicColumn(std::move(*r));
  };
  switch (type_) {
    case ColumnType::I64: return wrap(open_typed<int64_t>(*bytes, format_version_));
    case ColumnType::U64: return wrap(open_typed<uint64_t>(*bytes, format_version_));
    case ColumnType::F64: return wrap(open_typed<double>(*bytes, format_version_));
    case ColumnType::Bool: return wrap(open_typed<bool>(*bytes, format_version_));
    case ColumnType::DateTime: return wrap(open_typed<DateTime>(*bytes, format_version_));
    case ColumnType::IpAddr: {
      ColumnIndex index;
      auto reader = open_ip(*bytes, format_version_, index);
      if (!reader) return std::unexpected(reader.error());
      return DynamicColumn(Column<U128>{std::move(index), std::make_shared<const CompactSpaceValues>(*reader)});
    }
    case ColumnType::Bytes:
    case ColumnType::Str: {
      auto parts = open_dictionary_column(*bytes, format_version_);
      if (!parts) return std::unexpected(parts.error());
      if (type_ == ColumnType::Str) return DynamicColumn(StrColumn{parts->dictionary, std::move(parts->ords)});
      return DynamicColumn(BytesColumn{parts->dictionary, std::move(parts->ords)});
    }
  }
  return std::unexpected(invalid("Invalid data"));
}

IoResult<Column<uint64_t>> DynamicColumnHandle::open_as_u64() const {
  auto bytes = slice_.read_all();
  if (!bytes) return std::unexpected(bytes.error());
  switch (type_) {
    case ColumnType::Bytes:
    case ColumnType::Str: {
      auto parts = open_dictionary_column(*bytes, format_version_);
      if (!parts) return std::unexpected(parts.error());
      return std::move(parts->ords);
    }
    case ColumnType::IpAddr: {
      ColumnIndex index;
      auto reader = open_ip(*bytes, format_version_, index);
      if (!reader) return std::unexpected(reader.error());
      return Column<uint64_t>{std::move(index), std::make_shared<const CompactSpaceCodes>(*reader)};
    }
    default:
      return open_column_u64(std::move(*bytes), format_version_);
  }
}

IoResult<ColumnarReader> ColumnarReader::open(FileSlice file) {
  if (file.len() < 20) return io_fail(IoErrorKind::UnexpectedEof, "failed to fill whole buffer");
  auto footer = file.read_range(file.len() - 20, file.len());
  if (!footer) return std::unexpected(footer.error());
  const uint8_t* f = footer->data();
  uint64_t dir_len;
  uint32_t num_rows;
  uint32_t version;
  uint32_t magic;
  std::memcpy(&dir_len, f, 8);
  std::memcpy(&num_rows, f + 8, 4);
  std::memcpy(&version, f + 12, 4);
  std::memcpy(&magic, f + 16, 4);
  if ((version != 1 && version != 2) || magic != kMagic) return std::unexpected(invalid("Invalid data"));
  const size_t body = file.len() - 20;
  if (dir_len > body) return std::unexpected(invalid("Column directory longer than the file"));
  auto dir_bytes = file.read_range(body - dir_len, body);
  if (!dir_bytes) return std::unexpected(dir_bytes.error());
  auto dir = sstable::Dictionary::open(std::move(*dir_bytes), sstable::ValueKind::Ranges);
  if (!dir) return std::unexpected(dir.error());
  ColumnarReader r;
  r.directory_ = std::make_shared<const sstable::Dictionary>(std::move(*dir));
  r.column_data_ = file.sub_slice(0, body - dir_len);
  r.format_version_ = version;
  r.num_rows_ = num_rows;
  return r;
}

IoResult<DynamicColumnHandle> ColumnarReader::handle_for(std::span<const uint8_t> key, sstable::Range range) const {
  if (key.empty()) return std::unexpected(invalid("Empty column name."));
  auto type = column_type_from_code(key.back());
  if (!type) return std::unexpected(invalid("Unknown column code `" + std::to_string(key.back()) + "`"));
  auto slice = column_data_.checked_sub_slice(range.start, range.end);
  if (!slice || range.start > range.end) return std::unexpected(invalid("Column range outside the column data"));
  return DynamicColumnHandle(std::move(*slice), format_version_, *type);
}

IoResult<std::vector<DynamicColumnHandle>> ColumnarReader::read_columns(std::string_view name) const {
  std::vector<uint8_t> lower(name.begin(), name.end());
  lower.push_back(0);
  std::vector<uint8_t> upper = lower;
  upper.back() = 1;
  auto stream = directory_->stream_range(sstable::Bound::included(lower), sstable::Bound::excluded(upper));
  if (!stream) return std::unexpected(stream.error());
  std::vector<DynamicColumnHandle> out;
  while (true) {
    auto more = stream->advance();
    if (!more) return std::unexpected(more.error());
    if (!*more) break;
    if (stream->key().size() != lower.size() + 1) return std::unexpected(invalid("Invalid column key"));
    auto h = handle_for(stream->key(), stream->value());
    if (!h) return std::unexpected(h.error());
    out.push_back(std::move(*h));
  }
  return out;
}

IoResult<std::vector<ColumnarReader::NamedHandle>> ColumnarReader::list_columns() const {
  auto stream = directory_->stream_all();
  if (!stream) return std::unexpected(stream.error());
  std::vector<NamedHandle> out;
  while (true) {
    auto more = stream->advance();
    if (!more) return std::unexpected(more.error());
    if (!*more) break;
    std::span<const uint8_t> key = stream->key();
    if (key.size() < 2) return std::unexpected(invalid("Column key shorter than 2 bytes"));
    auto h = handle_for(key, stream->value());
    if (!h) return std::unexpected(h.error());
    out.push_back(NamedHandle{lossy_utf8(key.first(key.size() - 2)), std::move(*h)});
  }
  return out;
}

}  // namespace fendral::columnar
