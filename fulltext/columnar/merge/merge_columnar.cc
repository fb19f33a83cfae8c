#include "fulltext/columnar/merge/merge_columnar.h"

#include <map>
#include <string>

#include "fulltext/columnar/merge/merge_dictionary.h"
#include "fulltext/columnar/merge/merged_column.h"
#include "fulltext/columnar/writer/column_directory.h"
#include "fulltext/common/le_bytes.h"

namespace fendral::columnar {

namespace {

struct Group {
  std::optional<ColumnType> required_type;
  std::vector<std::optional<DynamicColumnHandle>> handles;
};

IoError invalid_input(std::string msg) { return IoError(IoErrorKind::InvalidInput, std::move(msg)); }

uint32_t num_vals_of(const DynamicColumn& c) {
  return std::visit(
      [](const auto& col) -> uint32_t {
        if constexpr (requires { col.ords; }) {
          return col.ords.values->num_vals();
        } else {
          return col.values->num_vals();
        }
      },
      c);
}

// A column whose index and values disagree with each other or with its
// input's document count is corrupt.
IoResult<void> check_shape(const DynamicColumn& c, uint32_t num_docs) {
  const ColumnIndex& idx = dynamic_column_index(c);
  const uint32_t vals = num_vals_of(c);
  bool ok = true;
  switch (idx.kind()) {
    case ColumnIndex::Kind::Empty:
      break;
    case ColumnIndex::Kind::Full:
      ok = vals == num_docs;
      break;
    case ColumnIndex::Kind::Optional:
      ok = idx.optional_index()->num_rows() == num_docs && idx.optional_index()->num_non_null_rows() == vals;
      break;
    case ColumnIndex::Kind::Multivalued: {
      ok = idx.num_docs(0) == num_docs;
      uint32_t n = idx.start_index()->num_vals();
      ok = ok && n > 0 && idx.start_index()->get_val(n - 1) == vals;
      break;
    }
  }
  if (!ok) return io_fail(IoErrorKind::InvalidData, "Column does not match its documents");
  return {};
}

// Whether no surviving document of the input uses the column.
bool empty_after_merge(const DynamicColumn& c, const MergeRowOrder& order, size_t input, uint32_t num_docs) {
  if (num_vals_of(c) == 0) return true;
  const ReadOnlyBitSet* alive = order.alive_bitset(input);
  if (order.is_stacked() || !alive) return false;
  const ColumnIndex& idx = dynamic_column_index(c);
  bool used = false;
  for_each_alive(*alive, num_docs, [&](uint32_t d) {
    auto [a, b] = idx.value_row_range(d);
    used = b > a;
    return !used;
  });
  return !used;
}

template <class T>
const Column<T>* as(const DynamicColumn& c) {
  return std::get_if<Column<T>>(&c);
}

uint64_t u64_as_i64_stored(uint64_t v) { return MonotonicMapping<int64_t>::to_u64(static_cast<int64_t>(v)); }
uint64_t i64_as_u64_stored(int64_t v) { return static_cast<uint64_t>(v); }
uint64_t i64_as_f64_stored(int64_t v) { return MonotonicMapping<double>::to_u64(static_cast<double>(v)); }
uint64_t u64_as_f64_stored(uint64_t v) { return MonotonicMapping<double>::to_u64(static_cast<double>(v)); }
// Bounds of these views are never searched.
int64_t no_i64_bound(uint64_t) { return 0; }
uint64_t no_u64_bound(uint64_t) { return 0; }

using U64AsI64Stored = ConvertedColumnValues<uint64_t, uint64_t, u64_as_i64_stored, no_u64_bound>;
using I64AsU64Stored = ConvertedColumnValues<int64_t, uint64_t, i64_as_u64_stored, no_i64_bound>;
using I64AsF64Stored = ConvertedColumnValues<int64_t, uint64_t, i64_as_f64_stored, no_i64_bound>;
using U64AsF64Stored = ConvertedColumnValues<uint64_t, uint64_t, u64_as_f64_stored, no_u64_bound>;

// The column's values as the stored u64 form of the merged type.
IoResult<std::shared_ptr<const ColumnValues<uint64_t>>> values_as(const DynamicColumn& c, ColumnType merged) {
  const ColumnType own = dynamic_column_type(c);
  if (own == merged) {
    switch (own) {
      case ColumnType::I64: return to_u64_view(as<int64_t>(c)->values);
      case ColumnType::U64: return as<uint64_t>(c)->values;
      case ColumnType::F64: return to_u64_view(as<double>(c)->values);
      case ColumnType::Bool: return to_u64_view(as<bool>(c)->values);
      case ColumnType::DateTime: return to_u64_view(as<DateTime>(c)->values);
      default: break;
    }
  }
  if (is_numerical(own) && is_numerical(merged)) {
    if (merged == ColumnType::I64 && own == ColumnType::U64 && as<uint64_t>(c)->values->max_value() <= INT64_MAX) {
      return std::make_shared<const U64AsI64Stored>(as<uint64_t>(c)->values);
    }
    if (merged == ColumnType::U64 && own == ColumnType::I64 && as<int64_t>(c)->values->min_value() >= 0) {
      return std::make_shared<const I64AsU64Stored>(as<int64_t>(c)->values);
    }
    if (merged == ColumnType::F64 && own == ColumnType::I64) {
      return std::make_shared<const I64AsF64Stored>(as<int64_t>(c)->values);
    }
    if (merged == ColumnType::F64 && own == ColumnType::U64) {
      return std::make_shared<const U64AsF64Stored>(as<uint64_t>(c)->values);
    }
    return std::unexpected(invalid_input(""));
  }
  return std::unexpected(invalid_input("Cannot coerce column of type `" + std::string(column_type_name(own)) +
                                       "` to `" + std::string(column_type_name(merged)) + "`"));
}

ColumnType resolve_numerical(const std::vector<std::optional<DynamicColumn>>& columns) {
  CompatibleNumericalTypes types;
  for (const auto& c : columns) {
    if (!c) continue;
    switch (dynamic_column_type(*c)) {
      case ColumnType::I64:
        types.accept_value(NumericalValue::from_i64(as<int64_t>(*c)->values->min_value()));
        types.accept_value(NumericalValue::from_i64(as<int64_t>(*c)->values->max_value()));
        break;
      case ColumnType::U64:
        types.accept_value(NumericalValue::from_u64(as<uint64_t>(*c)->values->min_value()));
        types.accept_value(NumericalValue::from_u64(as<uint64_t>(*c)->values->max_value()));
        break;
      default:
        types.accept_value(NumericalValue::from_f64(0.0));
        break;
    }
  }
  return to_column_type(types.to_numerical_type());
}

IoResult<void> merge_column(ColumnType type, const std::vector<uint32_t>& num_docs,
                            const std::vector<std::optional<DynamicColumn>>& columns, const MergeRowOrder& order,
                            std::vector<uint8_t>& out) {
  if (type == ColumnType::Str || type == ColumnType::Bytes) {
    std::vector<std::optional<DictionaryInput>> inputs;
    for (const auto& c : columns) {
      if (!c) {
        inputs.emplace_back();
        continue;
      }
      if (dynamic_column_type(*c) != type) {
        return std::unexpected(invalid_input("Cannot coerce column of type `" +
                                             std::string(column_type_name(dynamic_column_type(*c))) + "` to `" +
                                             std::string(column_type_name(type)) + "`"));
      }
      if (const auto* s = std::get_if<StrColumn>(&*c)) {
        inputs.push_back(DictionaryInput{s->dictionary, s->ords});
      } else {
        const auto& b = std::get<BytesColumn>(*c);
        inputs.push_back(DictionaryInput{b.dictionary, b.ords});
      }
    }
    return merge_dictionary_column(num_docs, inputs, order, out);
  }
  std::vector<ColumnIndex> indexes;
  for (size_t i = 0; i < columns.size(); ++i) {
    indexes.push_back(columns[i] ? dynamic_column_index(*columns[i]) : ColumnIndex::empty(num_docs[i]));
  }
  MergedColumnIndex index(indexes, order);
  auto index_len = ColumnIndex::serialize(index.to_write(), out);
  if (!index_len) return std::unexpected(index_len.error());
  if (type == ColumnType::IpAddr) {
    std::vector<std::shared_ptr<const ColumnValues<U128>>> values;
    for (const auto& c : columns) {
      if (c && dynamic_column_type(*c) != type) {
        return std::unexpected(invalid_input("Cannot coerce column of type `" +
                                             std::string(column_type_name(dynamic_column_type(*c))) + "` to `IpAddr`"));
      }
      values.push_back(c ? as<U128>(*c)->values : nullptr);
    }
    if (auto r = write_compact_space_values(merged_u128_values(indexes, values, order), out); !r) return r;
  } else {
    std::vector<std::shared_ptr<const ColumnValues<uint64_t>>> values;
    for (const auto& c : columns) {
      if (!c) {
        values.push_back(nullptr);
        continue;
      }
      auto v = values_as(*c, type);
      if (!v) return std::unexpected(v.error());
      values.push_back(std::move(*v));
    }
    MergedColumnValues merged(indexes, values, order);
    if (auto r = serialize_u64_based_column_values(merged, kColumnValueCodecs, out); !r) return r;
  }
  append_le<uint32_t>(out, *index_len);
  return {};
}

}  // namespace

IoResult<void> merge_columnar(const std::vector<const ColumnarReader*>& readers,
                              const std::vector<std::pair<std::string, ColumnType>>& required_columns,
                              const MergeRowOrder& order, Write& output) {
  std::vector<uint32_t> num_docs;
  for (const ColumnarReader* r : readers) num_docs.push_back(r->num_rows());
  std::map<std::pair<std::string, uint8_t>, Group> groups;
  auto group_of = [&](const std::string& name, ColumnType t) -> Group& {
    Group& g = groups[{name, static_cast<uint8_t>(category_of(t))}];
    g.handles.resize(readers.size());
    return g;
  };
  for (const auto& [name, type] : required_columns) {
    Group& g = group_of(name, type);
    if (g.required_type && *g.required_type != type) {
      return std::unexpected(
          invalid_input("Required column conflicts with another required column of the same type category."));
    }
    g.required_type = type;
  }
  for (size_t i = 0; i < readers.size(); ++i) {
    auto cols = readers[i]->list_columns();
    if (!cols) return std::unexpected(cols.error());
    for (auto& c : *cols) group_of(c.name, c.handle.column_type()).handles[i] = std::move(c.handle);
  }

  CountingWriter counting(&output);
  ColumnDirectoryWriter directory;
  std::vector<uint8_t> buf;
  for (auto& [key, group] : groups) {
    std::vector<std::optional<DynamicColumn>> columns(readers.size());
    std::optional<ColumnType> single;
    bool mixed = false;
    for (size_t i = 0; i < readers.size(); ++i) {
      if (!group.handles[i]) continue;
      auto c = group.handles[i]->open();
      if (!c) return std::unexpected(c.error());
      if (auto r = check_shape(*c, num_docs[i]); !r) return std::unexpected(r.error());
      if (empty_after_merge(*c, order, i, num_docs[i])) continue;
      ColumnType t = dynamic_column_type(*c);
      if (single && *single != t) mixed = true;
      single = t;
      columns[i] = std::move(*c);
    }
    ColumnType type;
    if (group.required_type) {
      type = *group.required_type;
    } else if (!single) {
      continue;
    } else {
      type = mixed ? resolve_numerical(columns) : *single;
    }
    buf.clear();
    const uint64_t start = counting.written_bytes();
    if (auto r = merge_column(type, num_docs, columns, order, buf); !r) return r;
    if (auto r = counting.write_all(buf); !r) return r;
    std::span<const uint8_t> name(reinterpret_cast<const uint8_t*>(key.first.data()), key.first.size());
    if (auto r = directory.add(name, type, start, counting.written_bytes()); !r) return r;
  }
  return directory.finish(counting, order.num_rows());
}

}  // namespace fendral::columnar
