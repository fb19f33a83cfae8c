#include "fulltext/columnar/writer/columnar_writer.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <tuple>

#include "common/log.h"
#include "fulltext/columnar/column_index/column_index.h"
#include "fulltext/columnar/column_values/column_values.h"
#include "fulltext/columnar/column_values/compact_space.h"
#include "fulltext/columnar/writer/column_directory.h"
#include "fulltext/columnar/writer/column_operation.h"
#include "fulltext/common/le_bytes.h"
#include "fulltext/sstable/writer.h"

namespace fendral::columnar {

namespace {

constexpr const char* kLogTarget = "fendral::columnar::writer";

bool too_long(std::span<const uint8_t> key, const char* what) {
  if (key.size() <= kMaxKeyLen) return false;
  ZLOG(Warn, kLogTarget, "{} of {} bytes is longer than 65535 bytes and is skipped", what, key.size());
  return true;
}

// The u64 the codecs receive for a number converted into the column's type.
uint64_t numerical_to_u64(NumericalValue v, NumericalType column) {
  switch (column) {
    case NumericalType::I64:
    case NumericalType::U64:
      // Detection guarantees the value fits; both keep the same 64 bits.
      return column == NumericalType::I64 ? MonotonicMapping<int64_t>::to_u64(static_cast<int64_t>(v.bits)) : v.bits;
    case NumericalType::F64:
      switch (v.type) {
        case NumericalType::I64: return MonotonicMapping<double>::to_u64(static_cast<double>(v.as_i64()));
        case NumericalType::U64: return MonotonicMapping<double>::to_u64(static_cast<double>(v.bits));
        case NumericalType::F64: return MonotonicMapping<double>::to_u64(v.as_f64());
      }
  }
  return v.bits;
}

}  // namespace

ColumnarWriter::ColumnarWriter()
    : maps_{stacker::ArenaHashMap(256), stacker::ArenaHashMap(256), stacker::ArenaHashMap(256),
            stacker::ArenaHashMap(256), stacker::ArenaHashMap(256), stacker::ArenaHashMap(256)} {}

size_t ColumnarWriter::mem_usage() const {
  size_t n = arena_.mem_usage();
  for (const auto& m : maps_) n += m.mem_usage();
  for (const auto& d : dictionaries_) n += d.mem_usage();
  return n;
}

ColumnarWriter::DictionaryState ColumnarWriter::new_dictionary_column() {
  DictionaryState s;
  s.dictionary_id = static_cast<uint32_t>(dictionaries_.size());
  dictionaries_.emplace_back(16);
  return s;
}

void ColumnarWriter::record_column_type(Name name, ColumnType type, bool sort_values_within_row) {
  if (too_long(name, "Column name")) return;
  Result<void> r;
  switch (type) {
    case ColumnType::Str:
    case ColumnType::Bytes: {
      auto res = maps_[type == ColumnType::Str ? kStr : kBytes].mutate_or_create<DictionaryState>(
          name, [&](std::optional<DictionaryState> cur) {
            DictionaryState s = cur ? *cur : new_dictionary_column();
            s.sort_values_within_row = sort_values_within_row ? 1 : 0;
            return s;
          });
      if (!res) r = std::unexpected(res.error());
      break;
    }
    case ColumnType::Bool:
    case ColumnType::DateTime:
    case ColumnType::IpAddr: {
      Family f = type == ColumnType::Bool ? kBool : type == ColumnType::DateTime ? kDateTime : kIpAddr;
      auto res = maps_[f].mutate_or_create<ColumnState>(name, [](std::optional<ColumnState> cur) {
        return cur ? *cur : ColumnState{};
      });
      if (!res) r = std::unexpected(res.error());
      break;
    }
    case ColumnType::I64:
    case ColumnType::U64:
    case ColumnType::F64: {
      auto t = static_cast<NumericalType>(static_cast<uint8_t>(type));
      auto res = maps_[kNumerical].mutate_or_create<NumericalState>(name, [&](std::optional<NumericalState> cur) {
        NumericalState s = cur ? *cur : NumericalState{};
        s.forced = static_cast<uint8_t>(t);
        return s;
      });
      if (!res) r = std::unexpected(res.error());
      break;
    }
  }
  if (!r) ZLOG(Error, kLogTarget, "Failed to declare a column: {}", r.error().display());
}

Result<void> ColumnarWriter::append(ColumnState& col, uint32_t doc, std::span<const uint8_t> payload) {
  scratch_.clear();
  uint32_t expected = col.has_last_doc ? col.last_doc + 1 : 0;
  if (col.has_last_doc && doc < expected) {
    col.cardinality = static_cast<uint8_t>(Cardinality::Multivalued);
  } else {
    if (doc > expected && col.cardinality == static_cast<uint8_t>(Cardinality::Full)) {
      col.cardinality = static_cast<uint8_t>(Cardinality::Optional);
    }
    col.last_doc = doc;
    col.has_last_doc = 1;
    append_new_doc(scratch_, doc);
  }
  scratch_.insert(scratch_.end(), payload.begin(), payload.end());
  return col.values.extend_from_slice(arena_, scratch_);
}

Result<void> ColumnarWriter::record_plain(Family family, uint32_t doc, Name name, std::span<const uint8_t> payload) {
  if (too_long(name, "Column name")) return {};
  Result<void> status;
  std::vector<uint8_t> op(payload.begin(), payload.end());
  auto res = maps_[family].mutate_or_create<ColumnState>(name, [&](std::optional<ColumnState> cur) {
    ColumnState s = cur ? *cur : ColumnState{};
    status = append(s, doc, op);
    return s;
  });
  if (!res) return std::unexpected(res.error());
  return status;
}

Result<void> ColumnarWriter::record_numerical(uint32_t doc, Name name, NumericalValue value) {
  if (too_long(name, "Column name")) return {};
  Result<void> status;
  std::vector<uint8_t> op;
  append_numerical(op, value);
  auto res = maps_[kNumerical].mutate_or_create<NumericalState>(name, [&](std::optional<NumericalState> cur) {
    NumericalState s = cur ? *cur : NumericalState{};
    if (s.forced != 0xFF) {
      if (s.forced != static_cast<uint8_t>(value.type)) {
        ZLOG(Warn, kLogTarget, "Input type forbidden. This column has been forced to type {}, received {}",
             column_type_name(static_cast<ColumnType>(s.forced)),
             column_type_name(to_column_type(value.type)));
        return s;
      }
    } else {
      CompatibleNumericalTypes c{s.fits_i64 != 0, s.fits_u64 != 0, std::nullopt};
      c.accept_value(value);
      s.fits_i64 = c.fits_i64;
      s.fits_u64 = c.fits_u64;
    }
    status = append(s.col, doc, op);
    return s;
  });
  if (!res) return std::unexpected(res.error());
  return status;
}

Result<void> ColumnarWriter::record_bool(uint32_t doc, Name name, bool value) {
  std::vector<uint8_t> op;
  append_bool(op, value);
  return record_plain(kBool, doc, name, op);
}

Result<void> ColumnarWriter::record_datetime(uint32_t doc, Name name, int64_t nanos) {
  std::vector<uint8_t> op;
  append_numerical(op, NumericalValue::from_i64(nanos));
  return record_plain(kDateTime, doc, name, op);
}

Result<void> ColumnarWriter::record_ip_addr(uint32_t doc, Name name, const std::array<uint8_t, 16>& addr) {
  std::vector<uint8_t> op;
  append_ip(op, addr.data());
  return record_plain(kIpAddr, doc, name, op);
}

Result<void> ColumnarWriter::record_str(uint32_t doc, Name name, std::span<const uint8_t> text) {
  return record_term(kStr, doc, name, text);
}

Result<void> ColumnarWriter::record_bytes(uint32_t doc, Name name, std::span<const uint8_t> bytes) {
  return record_term(kBytes, doc, name, bytes);
}

Result<void> ColumnarWriter::record_term(Family family, uint32_t doc, Name name, std::span<const uint8_t> term) {
  if (too_long(name, "Column name") || too_long(term, "Term")) return {};
  Result<void> status;
  auto res = maps_[family].mutate_or_create<DictionaryState>(name, [&](std::optional<DictionaryState> cur) {
    DictionaryState s = cur ? *cur : new_dictionary_column();
    stacker::SharedArenaHashMap& dict = dictionaries_[s.dictionary_id];
    auto id = dict.mutate_or_create<uint32_t>(term, arena_, [&](std::optional<uint32_t> known) {
      return known ? *known : static_cast<uint32_t>(dict.len());
    });
    if (!id) {
      status = std::unexpected(id.error());
      return s;
    }
    std::vector<uint8_t> op;
    append_term(op, *id);
    status = append(s.col, doc, op);
    return s;
  });
  if (!res) return std::unexpected(res.error());
  return status;
}

IoResult<void> ColumnarWriter::serialize(uint32_t num_docs, Write& out) {
  struct Entry {
    std::vector<uint8_t> name;
    ColumnType type;
    Family family;
    std::vector<uint8_t> state;  // the family's state struct, copied
  };
  std::vector<Entry> entries;
  const std::pair<Family, std::optional<ColumnType>> order[] = {
      {kNumerical, std::nullopt},         {kBytes, ColumnType::Bytes}, {kStr, ColumnType::Str},
      {kBool, ColumnType::Bool},          {kIpAddr, ColumnType::IpAddr}, {kDateTime, ColumnType::DateTime}};
  for (const auto& [family, type] : order) {
    const stacker::ArenaHashMap& map = maps_[family];
    size_t state_size = family == kNumerical ? sizeof(NumericalState)
                        : (family == kStr || family == kBytes) ? sizeof(DictionaryState)
                                                               : sizeof(ColumnState);
    for (const auto& [key, addr] : map.iter()) {
      Entry e{{key.begin(), key.end()}, type.value_or(ColumnType::U64), family, std::vector<uint8_t>(state_size)};
      map.arena().read_bytes(addr, e.state.data(), state_size);
      if (family == kNumerical) {
        NumericalState s;
        std::memcpy(&s, e.state.data(), sizeof s);
        CompatibleNumericalTypes c{s.fits_i64 != 0, s.fits_u64 != 0, std::nullopt};
        if (s.forced != 0xFF) c.forced = static_cast<NumericalType>(s.forced);
        e.type = to_column_type(c.to_numerical_type());
      }
      entries.push_back(std::move(e));
    }
  }
  std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
    return std::tie(a.name, a.type) < std::tie(b.name, b.type);
  });

  CountingWriter counting(&out);
  ColumnDirectoryWriter directory;
  std::vector<uint8_t> buf;
  for (const Entry& e : entries) {
    if (std::find(e.name.begin(), e.name.end(), 0) != e.name.end()) continue;
    const uint64_t start = counting.written_bytes();
    buf.clear();
    if (auto r = write_column(e.family, e.name, e.state.data(), e.type, num_docs, buf); !r) return r;
    if (auto r = counting.write_all(buf); !r) return r;
    if (auto r = directory.add(e.name, e.type, start, counting.written_bytes()); !r) return r;
  }
  return directory.finish(counting, num_docs);
}

IoResult<void> ColumnarWriter::write_column(Family family, Name name, const void* state, ColumnType type,
                                            uint32_t num_docs, std::vector<uint8_t>& buf) {
  (void)name;
  ColumnState col;
  std::memcpy(&col, state, sizeof col);  // every state struct begins with ColumnState
  ops_.clear();
  if (auto r = col.values.read_to_end(arena_, ops_); !r) return io_fail(IoErrorKind::Other, r.error().display());
  Cardinality card = static_cast<Cardinality>(col.cardinality);
  const uint32_t covered = col.has_last_doc ? col.last_doc + 1 : 0;
  if (card != Cardinality::Multivalued && covered < num_docs) card = Cardinality::Optional;

  // Replays the operations: every value goes to on_value; docs_ and starts_
  // describe the rows by cardinality.
  auto replay = [&](auto&& on_value) {
    docs_.clear();
    starts_.clear();
    OperationReader reader(ops_);
    ColumnOperation op;
    uint32_t current = 0;
    bool has_value = false;
    uint64_t count = 0;
    while (reader.next(op)) {
      if (!op.is_value) {
        if (card == Cardinality::Optional) docs_.push_back(op.doc);
        current = op.doc;
        has_value = false;
        continue;
      }
      if (card == Cardinality::Multivalued && !has_value) {
        has_value = true;
        docs_.push_back(current);
        starts_.push_back(count);
      }
      on_value(op.payload);
      ++count;
    }
    if (card == Cardinality::Multivalued) starts_.push_back(count);
  };
  auto write_index = [&]() -> IoResult<uint32_t> {
    SpanSource starts(starts_);
    ColumnIndexToWrite index{card, num_docs,
                             [this](const std::function<void(uint32_t)>& f) {
                               for (uint32_t d : docs_) f(d);
                             },
                             &starts};
    return ColumnIndex::serialize(index, buf);
  };
  auto finish_u64_column = [&]() -> IoResult<void> {
    auto index_len = write_index();
    if (!index_len) return std::unexpected(index_len.error());
    if (auto r = serialize_u64_based_column_values(SpanSource(values_), kColumnValueCodecs, buf); !r) return r;
    append_le<uint32_t>(buf, *index_len);
    return {};
  };

  values_.clear();
  switch (family) {
    case kNumerical: {
      const auto t = static_cast<NumericalType>(static_cast<uint8_t>(type));
      replay([&](std::span<const uint8_t> p) { values_.push_back(numerical_to_u64(decode_numerical(p), t)); });
      return finish_u64_column();
    }
    case kDateTime:
      replay([&](std::span<const uint8_t> p) {
        values_.push_back(MonotonicMapping<int64_t>::to_u64(decode_numerical(p).as_i64()));
      });
      return finish_u64_column();
    case kBool:
      replay([&](std::span<const uint8_t> p) { values_.push_back(!p.empty() && p[0] == 1 ? 1 : 0); });
      return finish_u64_column();
    case kIpAddr: {
      std::vector<U128> ips;
      replay([&](std::span<const uint8_t> p) {
        U128 v = 0;
        for (size_t i = 0; i < 16 && i < p.size(); ++i) v = (v << 8) | p[i];
        ips.push_back(v);
      });
      auto index_len = write_index();
      if (!index_len) return std::unexpected(index_len.error());
      auto r = write_compact_space_values(
          [&ips](const std::function<void(U128)>& f) {
            for (U128 v : ips) f(v);
          },
          buf);
      if (!r) return r;
      append_le<uint32_t>(buf, *index_len);
      return {};
    }
    case kStr:
    case kBytes: {
      DictionaryState ds;
      std::memcpy(&ds, state, sizeof ds);
      const stacker::SharedArenaHashMap& dict = dictionaries_[ds.dictionary_id];
      std::vector<std::pair<std::span<const uint8_t>, uint32_t>> terms;
      for (const auto& [term, addr] : dict.iter(arena_)) terms.emplace_back(term, arena_.read<uint32_t>(addr));
      std::sort(terms.begin(), terms.end(), [](const auto& a, const auto& b) {
        return std::lexicographical_compare(a.first.begin(), a.first.end(), b.first.begin(), b.first.end());
      });
      std::vector<uint32_t> table(terms.size());
      const size_t dict_start = buf.size();
      VecWriter dict_out(&buf);
      sstable::Writer sst(&dict_out, sstable::ValueKind::KeysOnly);
      for (uint32_t i = 0; i < terms.size(); ++i) {
        if (auto r = sst.insert(terms[i].first); !r) return r;
        table[terms[i].second] = i;
      }
      if (auto r = sst.finish(); !r) return std::unexpected(r.error());
      const uint32_t dict_len = static_cast<uint32_t>(buf.size() - dict_start);
      replay([&](std::span<const uint8_t> p) { values_.push_back(table[decode_uint(p)]); });
      if (card == Cardinality::Multivalued && ds.sort_values_within_row) {
        for (size_t i = 0; i + 1 < starts_.size(); ++i) {
          std::sort(values_.begin() + static_cast<ptrdiff_t>(starts_[i]),
                    values_.begin() + static_cast<ptrdiff_t>(starts_[i + 1]));
        }
      }
      if (auto r = finish_u64_column(); !r) return r;
      append_le<uint32_t>(buf, dict_len);
      return {};
    }
    default:
      return {};
  }
}

}  // namespace fendral::columnar
