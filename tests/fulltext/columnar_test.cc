#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "common/log.h"
#include "fulltext/columnar/column_values/compact_space.h"
#include "fulltext/columnar/reader/columnar_reader.h"
#include "fulltext/columnar/writer/column_operation.h"
#include "fulltext/columnar/writer/columnar_writer.h"

namespace fendral::columnar {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes serialize(ColumnarWriter& w, uint32_t num_docs) {
  Bytes out;
  VecWriter vw(&out);
  EXPECT_TRUE(w.serialize(num_docs, vw).has_value());
  return out;
}

ColumnarReader open_reader(const Bytes& b) {
  auto r = ColumnarReader::open(FileSlice(OwnedBytes::copy_of(b)));
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().display());
  return std::move(*r);
}

std::vector<std::pair<std::string, ColumnType>> listing(const ColumnarReader& r) {
  std::vector<std::pair<std::string, ColumnType>> out;
  auto cols = r.list_columns();
  for (auto& h : *cols) out.emplace_back(h.name, h.handle.column_type());
  return out;
}

Cardinality cardinality_of(const ColumnarReader& r, std::string_view name) {
  auto hs = *r.read_columns(name);
  EXPECT_EQ(hs.size(), 1u);
  return dynamic_column_index(*hs[0].open()).cardinality();
}

std::vector<std::string> dictionary_terms(const sstable::Dictionary& d) {
  std::vector<std::string> out;
  auto s = d.stream_all();
  while (*s->advance()) out.emplace_back(s->key().begin(), s->key().end());
  return out;
}

TEST(ColumnarWriterFormat, OperationBytes) {
  struct Case {
    std::function<void(Bytes&)> op;
    Bytes expected;
  } cases[] = {
      {[](Bytes& b) { append_new_doc(b, 0); }, {0x00}},
      {[](Bytes& b) { append_new_doc(b, 0x1234); }, {0x02, 0x34, 0x12}},
      {[](Bytes& b) { append_numerical(b, NumericalValue::from_u64(0)); }, {0x41, 0x01}},
      {[](Bytes& b) { append_numerical(b, NumericalValue::from_i64(-1)); }, {0x42, 0x00, 0x01}},
      {[](Bytes& b) { append_numerical(b, NumericalValue::from_i64(0)); }, {0x41, 0x00}},
      {[](Bytes& b) { append_numerical(b, NumericalValue::from_i64(1)); }, {0x42, 0x00, 0x02}},
      {[](Bytes& b) { append_numerical(b, NumericalValue::from_f64(0.0)); }, {0x49, 0x02, 0, 0, 0, 0, 0, 0, 0, 0}},
      {[](Bytes& b) { append_bool(b, true); }, {0x41, 0x01}},
      {[](Bytes& b) { append_term(b, 300); }, {0x42, 0x2C, 0x01}},
  };
  for (const auto& c : cases) {
    Bytes b;
    c.op(b);
    EXPECT_EQ(b, c.expected);
    OperationReader r(b);
    ColumnOperation op;
    ASSERT_TRUE(r.next(op));
    EXPECT_FALSE(r.next(op));
  }
  EXPECT_EQ(decode_numerical(std::span<const uint8_t>(Bytes{0x00, 0x01})).as_i64(), -1);
}

TEST(ColumnarWriterFormat, NumericalTypeDetection) {
  struct Case {
    std::vector<NumericalValue> values;
    ColumnType expected;
  } cases[] = {
      {{NumericalValue::from_u64(5), NumericalValue::from_i64(-3)}, ColumnType::I64},
      {{NumericalValue::from_u64(uint64_t{1} << 63), NumericalValue::from_i64(7)}, ColumnType::U64},
      {{NumericalValue::from_u64(uint64_t{1} << 63), NumericalValue::from_i64(-1)}, ColumnType::F64},
      {{NumericalValue::from_u64(9223372036854775807ull)}, ColumnType::U64},
      {{NumericalValue::from_u64(3), NumericalValue::from_f64(0.5)}, ColumnType::F64},
  };
  for (const auto& c : cases) {
    ColumnarWriter w;
    for (uint32_t d = 0; d < c.values.size(); ++d) ASSERT_TRUE(w.record_numerical(d, as_name("n"), c.values[d]));
    ColumnarReader r = open_reader(serialize(w, static_cast<uint32_t>(c.values.size())));
    auto hs = *r.read_columns("n");
    ASSERT_EQ(hs.size(), 1u);
    EXPECT_EQ(hs[0].column_type(), c.expected);
    auto col = *hs[0].open();
    if (c.expected == ColumnType::F64) {
      auto& f = std::get<Column<double>>(col);
      EXPECT_EQ(f.values->get_val(0), c.values[0].type == NumericalType::U64 ? static_cast<double>(c.values[0].bits)
                                                                             : c.values[0].as_f64());
    }
  }
}

TEST(ColumnarWriterFormat, Cardinalities) {
  struct Case {
    std::vector<uint32_t> docs;  // one value each, in order
    uint32_t num_docs;
    Cardinality expected;
  } cases[] = {
      {{0, 1, 2}, 3, Cardinality::Full},        {{0, 2}, 3, Cardinality::Optional},
      {{1, 1}, 2, Cardinality::Multivalued},    {{0, 1}, 3, Cardinality::Optional},
      {{}, 3, Cardinality::Optional},           {{}, 0, Cardinality::Full},
      {{0, 0, 1, 5}, 6, Cardinality::Multivalued},
  };
  for (const auto& c : cases) {
    ColumnarWriter w;
    w.record_column_type("c", ColumnType::U64, false);
    for (uint32_t d : c.docs) ASSERT_TRUE(w.record_numerical(d, as_name("c"), NumericalValue::from_u64(d * 10)));
    ColumnarReader r = open_reader(serialize(w, c.num_docs));
    EXPECT_EQ(r.num_rows(), c.num_docs);
    EXPECT_EQ(cardinality_of(r, "c"), c.expected);
    auto col = std::get<Column<uint64_t>>(*(*r.read_columns("c"))[0].open());
    for (uint32_t d = 0; d < c.num_docs; ++d) {
      std::vector<uint64_t> got;
      col.values_for_doc(d, got);
      EXPECT_EQ(got.size(), static_cast<size_t>(std::count(c.docs.begin(), c.docs.end(), d)));
    }
  }
}

TEST(ColumnarWriterFormat, DirectoryOrderFooterAndSkippedNames) {
  ColumnarWriter w;
  w.record_column_type("b", ColumnType::U64, false);
  ASSERT_TRUE(w.record_numerical(0, as_name("b"), NumericalValue::from_u64(1)));
  ASSERT_TRUE(w.record_str(0, as_name("a"), as_name("x")));
  ASSERT_TRUE(w.record_numerical(0, as_name("a"), NumericalValue::from_i64(-1)));
  ASSERT_TRUE(w.record_numerical(0, as_name(std::string_view("z\0z", 3)), NumericalValue::from_u64(1)));
  Bytes b = serialize(w, 1);
  EXPECT_EQ(Bytes(b.end() - 12, b.end()), (Bytes{0x01, 0, 0, 0, 0x02, 0, 0, 0, 0x02, 0x71, 0x77, 0x42}));
  ColumnarReader r = open_reader(b);
  EXPECT_EQ(listing(r), (std::vector<std::pair<std::string, ColumnType>>{
                            {"a", ColumnType::I64}, {"a", ColumnType::Str}, {"b", ColumnType::U64}}));
  EXPECT_EQ(r.read_columns("a")->size(), 2u);
  EXPECT_EQ((*r.read_columns("a"))[0].column_type(), ColumnType::I64);

  ColumnarWriter prefix;
  ASSERT_TRUE(prefix.record_bool(0, as_name("a"), true));
  ASSERT_TRUE(prefix.record_bool(0, as_name("ab"), false));
  ColumnarReader pr = open_reader(serialize(prefix, 1));
  EXPECT_EQ(pr.read_columns("a")->size(), 1u);
  EXPECT_TRUE(pr.read_columns("")->empty());
}

TEST(ColumnarWriterFormat, FooterErrors) {
  ColumnarWriter w;
  ASSERT_TRUE(w.record_bool(0, as_name("a"), true));
  Bytes good = serialize(w, 1);
  Bytes v3 = good;
  v3[v3.size() - 8] = 3;
  EXPECT_EQ(ColumnarReader::open(FileSlice(OwnedBytes::copy_of(v3))).error().display(), "Invalid data");
  for (int bit = 0; bit < 32; ++bit) {
    Bytes m = good;
    m[m.size() - 4 + bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
    EXPECT_EQ(ColumnarReader::open(FileSlice(OwnedBytes::copy_of(m))).error().display(), "Invalid data");
  }
  EXPECT_FALSE(ColumnarReader::open(FileSlice(OwnedBytes::copy_of(Bytes(19, 0)))).has_value());
}

TEST(ColumnarWriterFormat, DictionaryColumns) {
  ColumnarWriter w;
  w.record_column_type("facet", ColumnType::Str, true);
  ASSERT_TRUE(w.record_str(0, as_name("s"), as_name("b")));
  ASSERT_TRUE(w.record_str(1, as_name("s"), as_name("a")));
  ASSERT_TRUE(w.record_str(2, as_name("s"), as_name("b")));
  ASSERT_TRUE(w.record_str(0, as_name("facet"), as_name("/z")));
  ASSERT_TRUE(w.record_str(0, as_name("facet"), as_name("/a")));
  ASSERT_TRUE(w.record_bytes(1, as_name("raw"), Bytes{0xFF, 0x00}));
  ColumnarReader r = open_reader(serialize(w, 3));
  auto s = std::get<StrColumn>(*(*r.read_columns("s"))[0].open());
  EXPECT_EQ(dictionary_terms(*s.dictionary), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(s.ords.values->get_val(0), 1u);
  EXPECT_EQ(s.ords.values->get_val(1), 0u);
  EXPECT_EQ(s.ords.values->get_val(2), 1u);
  auto f = std::get<StrColumn>(*(*r.read_columns("facet"))[0].open());
  std::vector<uint64_t> ords;
  f.ords.values_for_doc(0, ords);
  EXPECT_EQ(ords, (std::vector<uint64_t>{0, 1}));
  auto raw = (*r.read_columns("raw"))[0];
  EXPECT_EQ(raw.column_type(), ColumnType::Bytes);
  auto as_u64 = *raw.open_as_u64();
  EXPECT_EQ(as_u64.values->get_val(0), 0u);
}

TEST(ColumnarWriterFormat, OverlongNamesAndTermsAreSkipped) {
  auto sink = std::make_shared<zudizid::log::CaptureSink>();
  zudizid::log::set_sink(sink, zudizid::log::Level::Warn);
  ColumnarWriter w;
  std::string long_a(70000, 'a');
  std::string long_b = long_a + "b";
  ASSERT_TRUE(w.record_str(0, as_name("s"), as_name(long_a)));
  ASSERT_TRUE(w.record_str(1, as_name("s"), as_name(long_b)));
  ASSERT_TRUE(w.record_str(2, as_name("s"), as_name("short")));
  ASSERT_TRUE(w.record_numerical(0, as_name(long_a), NumericalValue::from_u64(1)));
  ColumnarReader r = open_reader(serialize(w, 3));
  zudizid::log::set_sink(nullptr, zudizid::log::Level::Off);
  EXPECT_EQ(listing(r).size(), 1u);
  auto s = std::get<StrColumn>(*(*r.read_columns("s"))[0].open());
  EXPECT_EQ(dictionary_terms(*s.dictionary), (std::vector<std::string>{"short"}));
  EXPECT_EQ(s.ords.index.cardinality(), Cardinality::Optional);
  EXPECT_EQ(sink->records().size(), 3u);
}

TEST(ColumnarWriterFormat, ForcedColumnRefusesOtherTypes) {
  ColumnarWriter w;
  w.record_column_type("u", ColumnType::U64, false);
  ASSERT_TRUE(w.record_numerical(0, as_name("u"), NumericalValue::from_i64(-5)));
  ASSERT_TRUE(w.record_numerical(1, as_name("u"), NumericalValue::from_u64(7)));
  ColumnarReader r = open_reader(serialize(w, 2));
  auto hs = *r.read_columns("u");
  ASSERT_EQ(hs[0].column_type(), ColumnType::U64);
  auto col = std::get<Column<uint64_t>>(*hs[0].open());
  EXPECT_EQ(col.values->num_vals(), 1u);
  EXPECT_EQ(col.values->get_val(0), 7u);
}

// ---- compact space ----

TEST(CompactSpace, BlankRemovalPaysForItself) {
  std::vector<U128> distinct{10, 11, 1000};
  auto few = *CompactSpace::build(distinct, 3);
  ASSERT_EQ(few.ranges().size(), 1u);
  EXPECT_EQ(few.ranges()[0].start, U128{10});
  EXPECT_EQ(few.ranges()[0].end, U128{1000});
  EXPECT_EQ(few.value_to_compact(1000), std::optional<uint32_t>(991));
  EXPECT_EQ(few.amplitude(), 991u);
  auto many = *CompactSpace::build(distinct, 100);
  ASSERT_EQ(many.ranges().size(), 2u);
  EXPECT_EQ(many.ranges()[1].compact_start, 3u);
  EXPECT_EQ(many.value_to_compact(11), std::optional<uint32_t>(2));
  EXPECT_EQ(many.value_to_compact(1000), std::optional<uint32_t>(3));
  EXPECT_FALSE(many.value_to_compact(500).has_value());
  EXPECT_EQ(many.compact_to_value(3), U128{1000});
  auto empty = *CompactSpace::build({}, 0);
  EXPECT_EQ(empty.amplitude(), 1u);
  std::vector<U128> one{U128{1} << 100};
  EXPECT_EQ(CompactSpace::build(one, 1)->value_to_compact(U128{1} << 100), std::optional<uint32_t>(1));
}

Bytes ip(uint64_t v) {
  Bytes b(16, 0);
  for (int i = 0; i < 8; ++i) b[15 - i] = static_cast<uint8_t>(v >> (8 * i));
  return b;
}

TEST(CompactSpace, ColumnSearchAndErrors) {
  Bytes out;
  std::vector<U128> vals;
  for (int i = 0; i < 100; ++i) vals.push_back(i % 3 == 0 ? 10 : i % 3 == 1 ? 11 : 1000);
  ASSERT_TRUE(write_compact_space_values(
      [&](const std::function<void(U128)>& f) {
        for (U128 v : vals) f(v);
      },
      out));
  auto reader = CompactSpaceReader::open(OwnedBytes::copy_of(out));
  ASSERT_TRUE(reader.has_value()) << reader.error().display();
  EXPECT_EQ(reader->code(2), 3u);
  std::vector<uint32_t> rows;
  reader->rows_for_values(12, 999, 0, 100, rows);
  EXPECT_TRUE(rows.empty());
  reader->rows_for_values(11, 5000, 0, 100, rows);
  EXPECT_EQ(rows.size(), 66u);
  Bytes bad = out;
  bad[1] = 2;
  EXPECT_EQ(CompactSpaceReader::open(OwnedBytes::copy_of(bad)).error().display(), "Unknown code `2.`");
  // num_bits above 32 in the header.
  uint32_t hlen;
  std::memcpy(&hlen, out.data() + out.size() - 4, 4);
  Bytes wide = out;
  size_t header = out.size() - 4 - hlen;
  size_t bits_pos = header + 8 + 1 + 2 + 1;  // flags, min 10, max 1000, num_vals 100
  ASSERT_EQ(wide[bits_pos], 2);
  wide[bits_pos] = 40;
  EXPECT_FALSE(CompactSpaceReader::open(OwnedBytes::copy_of(wide)).has_value());
  std::mt19937 rng(4);
  for (int i = 0; i < 3000; ++i) {
    Bytes b = out;
    b[rng() % b.size()] = static_cast<uint8_t>(rng());
    if (i % 5 == 0) b.resize(rng() % b.size());
    if (auto r = CompactSpaceReader::open(OwnedBytes::copy_of(b))) {
      for (uint32_t row = 0; row < r->num_vals() && row < 5; ++row) (void)r->value(row);
      r->rows_for_values(0, 20, 0, 100, rows);
    }
  }
}

// ---- model: all eight types, three cardinalities ----

struct Model {
  // doc -> values, as the u64 order-preserving form (or U128 for IpAddr).
  std::map<uint32_t, std::vector<U128>> docs;
};

U128 stored_of(const DynamicColumn& col, uint32_t row, const std::vector<std::string>& terms) {
  (void)terms;
  return std::visit(
      [&](const auto& c) -> U128 {
        using C = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<C, StrColumn> || std::is_same_v<C, BytesColumn>) {
          return c.ords.values->get_val(row);
        } else if constexpr (std::is_same_v<C, Column<U128>>) {
          return c.values->get_val(row);
        } else {
          using T = std::decay_t<decltype(c.values->get_val(0))>;
          return MonotonicMapping<T>::to_u64(c.values->get_val(row));
        }
      },
      col);
}

// Searches [lo, hi] (stored forms) through the typed column and returns the
// matching docs.
std::vector<uint32_t> search(const DynamicColumn& col, U128 lo, U128 hi, uint32_t num_docs) {
  std::vector<uint32_t> rows;
  const ColumnIndex& index = dynamic_column_index(col);
  auto [a, b] = index.docid_range_to_rowids(0, num_docs);
  std::visit(
      [&](const auto& c) {
        using C = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<C, StrColumn> || std::is_same_v<C, BytesColumn>) {
          c.ords.values->get_row_ids_for_value_range(static_cast<uint64_t>(lo), static_cast<uint64_t>(hi), a, b, rows);
        } else if constexpr (std::is_same_v<C, Column<U128>>) {
          c.values->get_row_ids_for_value_range(lo, hi, a, b, rows);
        } else {
          using T = std::decay_t<decltype(c.values->get_val(0))>;
          c.values->get_row_ids_for_value_range(MonotonicMapping<T>::from_u64(static_cast<uint64_t>(lo)),
                                                MonotonicMapping<T>::from_u64(static_cast<uint64_t>(hi)), a, b, rows);
        }
      },
      col);
  index.rowids_to_docids(0, rows);
  return rows;
}

TEST(ColumnarModel, RandomColumnsRoundTripAndSearch) {
  std::mt19937_64 rng(77);
  const ColumnType types[] = {ColumnType::I64, ColumnType::U64,  ColumnType::F64,    ColumnType::Bytes,
                              ColumnType::Str, ColumnType::Bool, ColumnType::IpAddr, ColumnType::DateTime};
  for (int round = 0; round < 3; ++round) {
    const uint32_t num_docs = 1 + static_cast<uint32_t>(rng() % 3000);
    ColumnarWriter w;
    std::map<std::pair<std::string, ColumnType>, Model> models;
    int col_no = 0;
    for (ColumnType t : types) {
      for (Cardinality card : {Cardinality::Full, Cardinality::Optional, Cardinality::Multivalued}) {
        std::string name = "attrs\x01k" + std::to_string(col_no++);
        Model& m = models[{name, t}];
        if (is_numerical(t)) w.record_column_type(name, t, false);
        uint64_t spread = rng() % 3 == 0 ? 5 : 1000000;
        std::map<uint64_t, std::string> terms;
        for (uint32_t d = 0; d < num_docs; ++d) {
          int n = card == Cardinality::Full ? 1 : card == Cardinality::Optional ? int(rng() % 2) : int(rng() % 4);
          for (int i = 0; i < n; ++i) {
            uint64_t x = rng() % spread;
            Name nm = as_name(name);
            switch (t) {
              case ColumnType::I64: {
                int64_t v = static_cast<int64_t>(x) - 500;
                ASSERT_TRUE(w.record_numerical(d, nm, NumericalValue::from_i64(v)));
                m.docs[d].push_back(MonotonicMapping<int64_t>::to_u64(v));
                break;
              }
              case ColumnType::U64:
                ASSERT_TRUE(w.record_numerical(d, nm, NumericalValue::from_u64(x * 3)));
                m.docs[d].push_back(x * 3);
                break;
              case ColumnType::F64: {
                double v = (static_cast<double>(x) - 300.0) / 4.0;
                ASSERT_TRUE(w.record_numerical(d, nm, NumericalValue::from_f64(v)));
                m.docs[d].push_back(MonotonicMapping<double>::to_u64(v));
                break;
              }
              case ColumnType::DateTime: {
                int64_t v = static_cast<int64_t>(x) * 1000 - 7;
                ASSERT_TRUE(w.record_datetime(d, nm, v));
                m.docs[d].push_back(MonotonicMapping<int64_t>::to_u64(v));
                break;
              }
              case ColumnType::Bool:
                ASSERT_TRUE(w.record_bool(d, nm, x % 2 == 1));
                m.docs[d].push_back(x % 2);
                break;
              case ColumnType::IpAddr: {
                std::array<uint8_t, 16> a{};
                U128 v = (U128{x % 7} << 100) + x;
                for (int k = 0; k < 16; ++k) a[15 - k] = static_cast<uint8_t>(v >> (8 * k));
                ASSERT_TRUE(w.record_ip_addr(d, nm, a));
                m.docs[d].push_back(v);
                break;
              }
              case ColumnType::Str:
              case ColumnType::Bytes: {
                std::string term = "t" + std::to_string(x);
                terms[x] = term;
                if (t == ColumnType::Str) {
                  ASSERT_TRUE(w.record_str(d, nm, as_name(term)));
                } else {
                  ASSERT_TRUE(w.record_bytes(d, nm, as_name(term)));
                }
                m.docs[d].push_back(x);  // remapped to the ordinal below
                break;
              }
            }
          }
        }
        if (t == ColumnType::Str || t == ColumnType::Bytes) {
          std::set<std::string> sorted;
          for (auto& [k, v] : terms) sorted.insert(v);
          std::vector<std::string> order(sorted.begin(), sorted.end());
          for (auto& [d, vs] : m.docs) {
            for (U128& v : vs) {
              std::string term = terms[static_cast<uint64_t>(v)];
              v = static_cast<U128>(std::lower_bound(order.begin(), order.end(), term) - order.begin());
            }
          }
        }
      }
    }
    Bytes file = serialize(w, num_docs);
    ColumnarReader r = open_reader(file);
    ASSERT_EQ(r.list_columns()->size(), models.size());
    for (auto& [key, m] : models) {
      auto hs = *r.read_columns(key.first);
      ASSERT_EQ(hs.size(), 1u) << key.first;
      ASSERT_EQ(hs[0].column_type(), key.second);
      auto col = *hs[0].open();
      const ColumnIndex& index = dynamic_column_index(col);
      std::vector<U128> all;
      for (uint32_t d = 0; d < num_docs; ++d) {
        auto [a, b] = index.value_row_range(d);
        std::vector<U128> got;
        for (uint32_t row = a; row < b; ++row) got.push_back(stored_of(col, row, {}));
        auto it = m.docs.find(d);
        std::vector<U128> expected = it == m.docs.end() ? std::vector<U128>{} : it->second;
        ASSERT_TRUE(got == expected) << key.first << " doc " << d;
        all.insert(all.end(), expected.begin(), expected.end());
      }
      if (all.empty()) continue;
      for (int q = 0; q < 10; ++q) {
        U128 lo = all[rng() % all.size()];
        U128 hi = all[rng() % all.size()];
        if (hi < lo) std::swap(lo, hi);
        std::vector<uint32_t> expected;
        for (auto& [d, vs] : m.docs) {
          if (std::any_of(vs.begin(), vs.end(), [&](U128 v) { return v >= lo && v <= hi; })) expected.push_back(d);
        }
        ASSERT_EQ(search(col, lo, hi, num_docs), expected) << key.first;
      }
    }
  }
}

TEST(ColumnarFuzz, DamagedFilesGiveErrors) {
  ColumnarWriter w;
  std::mt19937_64 rng(13);
  for (uint32_t d = 0; d < 600; ++d) {
    ASSERT_TRUE(w.record_numerical(d, as_name("n"), NumericalValue::from_u64(rng() % 1000)));
    if (d % 3) ASSERT_TRUE(w.record_str(d, as_name("s"), as_name("v" + std::to_string(rng() % 50))));
    ASSERT_TRUE(w.record_str(d, as_name("s"), as_name("w")));
    std::array<uint8_t, 16> a{};
    a[15] = static_cast<uint8_t>(d);
    if (d % 2) ASSERT_TRUE(w.record_ip_addr(d, as_name("ip"), a));
    ASSERT_TRUE(w.record_bool(d, as_name("b"), d % 5 == 0));
  }
  Bytes good = serialize(w, 600);
  for (int round = 0; round < 3000; ++round) {
    Bytes b = good;
    int flips = 1 + static_cast<int>(rng() % 3);
    for (int f = 0; f < flips; ++f) b[rng() % b.size()] = static_cast<uint8_t>(rng());
    if (round % 9 == 0) b.erase(b.begin(), b.begin() + static_cast<ptrdiff_t>(rng() % 50));
    auto r = ColumnarReader::open(FileSlice(OwnedBytes::copy_of(b)));
    if (!r) continue;
    auto cols = r->list_columns();
    if (!cols) continue;
    for (auto& h : *cols) {
      auto c = h.handle.open();
      if (!c) continue;
      for (uint32_t d = 0; d < 700; d += 37) (void)search(*c, d, d + 100, std::min<uint32_t>(d + 1, r->num_rows()));
    }
  }
}

}  // namespace
}  // namespace fendral::columnar
