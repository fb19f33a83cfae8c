#include "fulltext/fastfield/fast_field_readers.h"

#include <algorithm>

namespace fendral::fastfield {

using columnar::ColumnType;

Result<std::shared_ptr<const FastFieldReaders>> FastFieldReaders::open(FileSlice file, schema::Schema schema,
                                                                       uint32_t max_doc) {
  auto columnar = columnar::ColumnarReader::open(std::move(file));
  if (!columnar) return fail(columnar.error());
  if (columnar->num_rows() != max_doc) {
    return fail(FendralError::data_corruption(std::nullopt, "Fast fields do not cover the segment's documents"));
  }
  return std::shared_ptr<const FastFieldReaders>(new FastFieldReaders(std::move(*columnar), std::move(schema)));
}

Result<std::vector<columnar::DynamicColumnHandle>> FastFieldReaders::handles(std::string_view path) const {
  auto name = schema::resolve_column_name(schema_, path);
  if (!name) return fail(name.error());
  if (!*name) return std::vector<columnar::DynamicColumnHandle>();
  auto list = columnar_.read_columns(**name);
  if (!list) return fail(list.error());
  return std::move(*list);
}

Result<std::optional<columnar::DynamicColumnHandle>> FastFieldReaders::column_handle(std::string_view path,
                                                                                     ColumnType type) const {
  auto list = handles(path);
  if (!list) return fail(list.error());
  for (auto& h : *list) {
    if (h.column_type() == type) return std::optional<columnar::DynamicColumnHandle>(std::move(h));
  }
  return std::optional<columnar::DynamicColumnHandle>();
}

template <class C>
Result<std::optional<C>> FastFieldReaders::open_as(std::string_view path, ColumnType type) const {
  auto h = column_handle(path, type);
  if (!h) return fail(h.error());
  if (!*h) return std::optional<C>();
  auto col = (*h)->open();
  if (!col) return fail(col.error());
  if (auto* c = std::get_if<C>(&*col)) return std::optional<C>(std::move(*c));
  return std::optional<C>();
}

Result<std::optional<columnar::StrColumn>> FastFieldReaders::str_column(std::string_view path) const {
  return open_as<columnar::StrColumn>(path, ColumnType::Str);
}

Result<std::optional<columnar::BytesColumn>> FastFieldReaders::bytes_column(std::string_view path) const {
  return open_as<columnar::BytesColumn>(path, ColumnType::Bytes);
}

Result<std::optional<columnar::Column<columnar::U128>>> FastFieldReaders::ip_column(std::string_view path) const {
  return open_as<columnar::Column<columnar::U128>>(path, ColumnType::IpAddr);
}

Result<std::optional<std::pair<columnar::Column<uint64_t>, ColumnType>>> FastFieldReaders::column_as_u64(
    std::string_view path, std::optional<std::span<const ColumnType>> types) const {
  using Found = std::optional<std::pair<columnar::Column<uint64_t>, ColumnType>>;
  auto list = handles(path);
  if (!list) return fail(list.error());
  for (const auto& h : *list) {
    const ColumnType t = h.column_type();
    if (t == ColumnType::IpAddr) continue;
    if (types && std::find(types->begin(), types->end(), t) == types->end()) continue;
    auto col = h.open_as_u64();
    if (!col) return fail(col.error());
    return Found(std::pair{std::move(*col), t});
  }
  return Found();
}

}  // namespace fendral::fastfield
