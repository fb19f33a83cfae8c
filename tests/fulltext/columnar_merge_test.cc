#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <set>
#include <random>
#include <string>
#include <vector>

#include "fulltext/columnar/merge/merge_columnar.h"
#include "fulltext/columnar/merge/merged_column.h"
#include "fulltext/columnar/writer/columnar_writer.h"

namespace fendral::columnar {
namespace {

using Bytes = std::vector<uint8_t>;
// (name, type) -> per doc, its values as text.
using Table = std::map<std::pair<std::string, ColumnType>, std::vector<std::vector<std::string>>>;

struct Input {
  Bytes bytes;
  std::unique_ptr<ColumnarReader> reader;
};

Input finish(ColumnarWriter& w, uint32_t num_docs) {
  Input in;
  VecWriter vw(&in.bytes);
  EXPECT_TRUE(w.serialize(num_docs, vw).has_value());
  auto r = ColumnarReader::open(FileSlice(OwnedBytes::copy_of(in.bytes)));
  EXPECT_TRUE(r.has_value());
  in.reader = std::make_unique<ColumnarReader>(std::move(*r));
  return in;
}

std::string text_of(const DynamicColumn& col, uint32_t row) {
  return std::visit(
      [&](const auto& c) -> std::string {
        using C = std::decay_t<decltype(c)>;
        if constexpr (std::is_same_v<C, StrColumn> || std::is_same_v<C, BytesColumn>) {
          uint64_t ord = c.ords.values->get_val(row);
          auto s = c.dictionary->stream_all();
          while (*s->advance()) {
            if (s->term_ord() == ord) return std::string(s->key().begin(), s->key().end());
          }
          return "?";
        } else if constexpr (std::is_same_v<C, Column<U128>>) {
          U128 v = c.values->get_val(row);
          return std::to_string(static_cast<uint64_t>(v >> 64)) + ":" + std::to_string(static_cast<uint64_t>(v));
        } else if constexpr (std::is_same_v<C, Column<DateTime>>) {
          return std::to_string(c.values->get_val(row).nanos);
        } else if constexpr (std::is_same_v<C, Column<double>>) {
          char buf[64];
          std::snprintf(buf, sizeof buf, "%.17g", c.values->get_val(row));
          return buf;
        } else {
          return std::to_string(c.values->get_val(row));
        }
      },
      col);
}

Table table_of(const ColumnarReader& r) {
  Table t;
  auto cols = r.list_columns();
  EXPECT_TRUE(cols.has_value());
  for (auto& h : *cols) {
    auto col = h.handle.open();
    EXPECT_TRUE(col.has_value()) << col.error().display();
    auto& docs = t[{h.name, h.handle.column_type()}];
    docs.resize(r.num_rows());
    const ColumnIndex& idx = dynamic_column_index(*col);
    for (uint32_t d = 0; d < r.num_rows(); ++d) {
      auto [a, b] = idx.value_row_range(d);
      for (uint32_t row = a; row < b; ++row) docs[d].push_back(text_of(*col, row));
    }
  }
  return t;
}

Input merge(const std::vector<const Input*>& inputs, const MergeRowOrder& order,
            const std::vector<std::pair<std::string, ColumnType>>& required = {}) {
  std::vector<const ColumnarReader*> readers;
  for (const Input* in : inputs) readers.push_back(in->reader.get());
  Input out;
  VecWriter vw(&out.bytes);
  auto r = merge_columnar(readers, required, order, vw);
  EXPECT_TRUE(r.has_value()) << r.error().display();
  auto reader = ColumnarReader::open(FileSlice(OwnedBytes::copy_of(out.bytes)));
  EXPECT_TRUE(reader.has_value());
  out.reader = std::make_unique<ColumnarReader>(std::move(*reader));
  return out;
}

ReadOnlyBitSet bitset(uint32_t n, const std::vector<bool>& alive) {
  BitSetBuilder b(n);
  for (uint32_t d = 0; d < n; ++d) {
    if (alive[d]) b.insert(d);
  }
  return *ReadOnlyBitSet::open(OwnedBytes::from_vector(b.serialize()));
}

Input random_input(std::mt19937_64& rng, uint32_t num_docs) {
  ColumnarWriter w;
  w.record_column_type("u", ColumnType::U64, false);
  w.record_column_type("f", ColumnType::F64, false);
  for (uint32_t d = 0; d < num_docs; ++d) {
    (void)w.record_numerical(d, as_name("u"), NumericalValue::from_u64(rng() % 1000));
    if (rng() % 3) (void)w.record_numerical(d, as_name("f"), NumericalValue::from_f64((rng() % 100) / 8.0));
    for (int k = static_cast<int>(rng() % 3); k > 0; --k) {
      (void)w.record_str(d, as_name("tags"), as_name("tag" + std::to_string(rng() % 40)));
    }
    if (rng() % 4 == 0) (void)w.record_bytes(d, as_name("raw"), as_name("r" + std::to_string(rng() % 5)));
    if (rng() % 2) (void)w.record_bool(d, as_name("b"), rng() % 2);
    if (rng() % 5 == 0) (void)w.record_datetime(d, as_name("t"), static_cast<int64_t>(rng() % 100000) - 50000);
    if (rng() % 3 == 0) {
      std::array<uint8_t, 16> a{};
      a[0] = static_cast<uint8_t>(rng() % 3);
      a[15] = static_cast<uint8_t>(rng());
      (void)w.record_ip_addr(d, as_name("ip"), a);
    }
    if (d % 97 == 5) (void)w.record_numerical(d, as_name("rare"), NumericalValue::from_i64(-static_cast<int64_t>(d)));
  }
  return finish(w, num_docs);
}

// Random merges, stacked and shuffled, equal the reference built from the
// inputs with deleted documents dropped.
TEST(ColumnarMergeModel, MatchesReference) {
  std::mt19937_64 rng(21);
  for (int round = 0; round < 12; ++round) {
    const size_t k = 1 + rng() % 3;
    std::vector<Input> inputs;
    std::vector<uint32_t> sizes;
    for (size_t i = 0; i < k; ++i) {
      sizes.push_back(static_cast<uint32_t>(rng() % 700));
      inputs.push_back(random_input(rng, sizes.back()));
    }
    const bool shuffled = round % 3 != 0;
    std::vector<std::vector<bool>> alive(k);
    std::vector<std::optional<ReadOnlyBitSet>> bitsets(k);
    std::vector<RowAddress> new_to_old;
    std::vector<uint32_t> cumulative;
    uint32_t total = 0;
    for (size_t i = 0; i < k; ++i) {
      alive[i].assign(sizes[i], true);
      if (shuffled && rng() % 3) {
        double p = round % 2 ? 0.3 : 0.97;
        for (uint32_t d = 0; d < sizes[i]; ++d) alive[i][d] = std::uniform_real_distribution<>(0, 1)(rng) > p;
        bitsets[i] = bitset(sizes[i], alive[i]);
      }
      for (uint32_t d = 0; d < sizes[i]; ++d) {
        if (alive[i][d]) new_to_old.push_back({static_cast<uint32_t>(i), d});
      }
      total += sizes[i];
      cumulative.push_back(total);
    }
    MergeRowOrder order = shuffled ? MergeRowOrder::shuffled(new_to_old, bitsets) : MergeRowOrder::stacked(cumulative);
    std::vector<const Input*> ptrs;
    for (auto& in : inputs) ptrs.push_back(&in);
    Input merged = merge(ptrs, order);
    ASSERT_EQ(merged.reader->num_rows(), order.num_rows());

    std::vector<Table> in_tables;
    for (auto& in : inputs) in_tables.push_back(table_of(*in.reader));
    Table expected;
    std::vector<RowAddress> rows = new_to_old;
    if (!shuffled) {
      rows.clear();
      for (uint32_t i = 0; i < k; ++i) {
        for (uint32_t d = 0; d < sizes[i]; ++d) rows.push_back({i, d});
      }
    }
    std::set<std::pair<std::string, ColumnType>> keys;
    for (auto& t : in_tables) {
      for (auto& [key, docs] : t) keys.insert(key);
    }
    for (const auto& key : keys) {
      std::vector<std::vector<std::string>> docs;
      bool any = false;
      for (const RowAddress& a : rows) {
        auto it = in_tables[a.segment_ord].find(key);
        docs.push_back(it == in_tables[a.segment_ord].end() ? std::vector<std::string>{} : it->second[a.row_id]);
        any = any || !docs.back().empty();
      }
      if (any) expected[key] = docs;
    }
    Table got = table_of(*merged.reader);
    ASSERT_EQ(got.size(), expected.size()) << round;
    for (auto& [key, docs] : expected) {
      ASSERT_TRUE(got.count(key)) << key.first;
      ASSERT_EQ(got[key], docs) << key.first << " round " << round;
    }
  }
}

ColumnType merged_type(std::vector<std::function<void(ColumnarWriter&)>> fill, std::string name = "x") {
  std::vector<Input> inputs;
  std::vector<uint32_t> cumulative;
  for (auto& f : fill) {
    ColumnarWriter w;
    f(w);
    inputs.push_back(finish(w, 1));
    cumulative.push_back(static_cast<uint32_t>(cumulative.size() + 1));
  }
  std::vector<const Input*> ptrs;
  for (auto& in : inputs) ptrs.push_back(&in);
  Input m = merge(ptrs, MergeRowOrder::stacked(cumulative));
  auto hs = *m.reader->read_columns(name);
  EXPECT_EQ(hs.size(), 1u);
  return hs.empty() ? ColumnType::Bool : hs[0].column_type();
}

std::function<void(ColumnarWriter&)> forced(ColumnType t, NumericalValue v) {
  return [t, v](ColumnarWriter& w) {
    w.record_column_type("x", t, false);
    (void)w.record_numerical(0, as_name("x"), v);
  };
}

TEST(ColumnarMerge, NumericalTypeResolution) {
  EXPECT_EQ(merged_type({forced(ColumnType::U64, NumericalValue::from_u64(10)),
                         forced(ColumnType::I64, NumericalValue::from_i64(-5))}),
            ColumnType::I64);
  EXPECT_EQ(merged_type({forced(ColumnType::U64, NumericalValue::from_u64(INT64_MAX)),
                         forced(ColumnType::I64, NumericalValue::from_i64(0))}),
            ColumnType::U64);
  EXPECT_EQ(merged_type({forced(ColumnType::U64, NumericalValue::from_u64(INT64_MAX)),
                         forced(ColumnType::I64, NumericalValue::from_i64(-1))}),
            ColumnType::F64);
}

TEST(ColumnarMerge, GroupsRequiredColumnsAndDroppedColumns) {
  ColumnarWriter a;
  a.record_column_type("x", ColumnType::I64, false);
  (void)a.record_numerical(0, as_name("x"), NumericalValue::from_i64(3));
  (void)a.record_numerical(1, as_name("z"), NumericalValue::from_u64(9));
  Input in_a = finish(a, 2);
  ColumnarWriter b;
  (void)b.record_str(0, as_name("x"), as_name("hello"));
  Input in_b = finish(b, 1);
  std::vector<const Input*> both{&in_a, &in_b};

  Input m = merge(both, MergeRowOrder::stacked({2, 3}), {{"y", ColumnType::F64}, {"y", ColumnType::F64}});
  auto x = *m.reader->read_columns("x");
  ASSERT_EQ(x.size(), 2u);
  EXPECT_EQ(x[0].column_type(), ColumnType::I64);
  EXPECT_EQ(x[1].column_type(), ColumnType::Str);
  auto y = *m.reader->read_columns("y");
  ASSERT_EQ(y.size(), 1u);
  auto ycol = *y[0].open();
  EXPECT_EQ(dynamic_column_index(ycol).cardinality(), Cardinality::Optional);
  EXPECT_EQ(m.reader->read_columns("z")->size(), 1u);

  // Doc 1 of input a (the only holder of z) deleted: z disappears.
  Input s = merge(both, MergeRowOrder::shuffled({{0, 0}, {1, 0}}, {bitset(2, {true, false}), std::nullopt}));
  EXPECT_TRUE(s.reader->read_columns("z")->empty());
  EXPECT_EQ(s.reader->num_rows(), 2u);

  Input none = merge({}, MergeRowOrder::stacked({}), {{"y", ColumnType::U64}});
  auto ny = *none.reader->read_columns("y");
  ASSERT_EQ(ny.size(), 1u);
  EXPECT_EQ(dynamic_column_index(*ny[0].open()).cardinality(), Cardinality::Full);

  std::vector<const ColumnarReader*> readers{in_a.reader.get()};
  Bytes out;
  VecWriter vw(&out);
  auto conflict = merge_columnar(readers, {{"y", ColumnType::U64}, {"y", ColumnType::I64}},
                                 MergeRowOrder::stacked({2}), vw);
  ASSERT_FALSE(conflict.has_value());
  EXPECT_EQ(conflict.error().display(),
            "Required column conflicts with another required column of the same type category.");
  ColumnarWriter neg;
  (void)neg.record_numerical(0, as_name("x"), NumericalValue::from_i64(-3));
  Input in_neg = finish(neg, 1);
  std::vector<const ColumnarReader*> neg_readers{in_neg.reader.get()};
  auto coerce = merge_columnar(neg_readers, {{"x", ColumnType::U64}}, MergeRowOrder::stacked({1}), vw);
  ASSERT_FALSE(coerce.has_value());
  EXPECT_EQ(coerce.error().kind(), IoErrorKind::InvalidInput);
}

TEST(ColumnarMerge, DictionaryMerge) {
  ColumnarWriter a;
  (void)a.record_str(0, as_name("s"), as_name("a"));
  (void)a.record_str(1, as_name("s"), as_name("c"));
  (void)a.record_str(2, as_name("s"), as_name("d"));
  Input in_a = finish(a, 3);
  ColumnarWriter b;
  (void)b.record_str(0, as_name("s"), as_name("b"));
  (void)b.record_str(1, as_name("s"), as_name("c"));
  Input in_b = finish(b, 2);
  auto terms = [](const Input& m) {
    auto col = std::get<StrColumn>(*(*m.reader->read_columns("s"))[0].open());
    std::vector<std::string> out;
    auto s = col.dictionary->stream_all();
    while (*s->advance()) out.emplace_back(s->key().begin(), s->key().end());
    std::vector<uint64_t> ords;
    for (uint32_t r = 0; r < col.ords.values->num_vals(); ++r) ords.push_back(col.ords.values->get_val(r));
    return std::make_pair(out, ords);
  };
  Input st = merge({&in_a, &in_b}, MergeRowOrder::stacked({3, 5}));
  EXPECT_EQ(terms(st).first, (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(terms(st).second, (std::vector<uint64_t>{0, 2, 3, 1, 2}));
  // Input a's "a" only used by a deleted doc: dropped. Its "c" survives
  // through input b, which has no deletes.
  Input sh = merge({&in_a, &in_b}, MergeRowOrder::shuffled({{0, 2}, {1, 0}, {1, 1}},
                                                            {bitset(3, {false, false, true}), std::nullopt}));
  EXPECT_EQ(terms(sh).first, (std::vector<std::string>{"b", "c", "d"}));
  EXPECT_EQ(terms(sh).second, (std::vector<uint64_t>{2, 0, 1}));
}

TEST(ColumnarMerge, ColumnIndexMergeCardinalities) {
  auto full = [] { return ColumnIndex::full(); };
  // Shuffled: the multivalued input's only doc with two values is deleted.
  ColumnarWriter w;
  (void)w.record_numerical(0, as_name("m"), NumericalValue::from_u64(1));
  (void)w.record_numerical(1, as_name("m"), NumericalValue::from_u64(2));
  (void)w.record_numerical(1, as_name("m"), NumericalValue::from_u64(3));
  (void)w.record_numerical(2, as_name("m"), NumericalValue::from_u64(4));
  Input in = finish(w, 3);
  ColumnIndex multi = dynamic_column_index(*(*in.reader->read_columns("m"))[0].open());
  std::vector<ColumnIndex> indexes{multi, full()};
  auto order = MergeRowOrder::shuffled({{0, 0}, {0, 2}}, {bitset(3, {true, false, true}), std::nullopt});
  EXPECT_EQ(merged_cardinality(indexes, order), Cardinality::Full);
  EXPECT_EQ(merged_cardinality(indexes, MergeRowOrder::stacked({3, 5})), Cardinality::Multivalued);
  std::vector<ColumnIndex> with_empty{full(), ColumnIndex::empty(2)};
  EXPECT_EQ(merged_cardinality(with_empty, MergeRowOrder::stacked({3, 5})), Cardinality::Optional);
  EXPECT_EQ(merged_cardinality(with_empty, MergeRowOrder::shuffled({{0, 0}}, {std::nullopt, bitset(2, {false, false})})),
            Cardinality::Full);
  EXPECT_EQ(merged_cardinality({}, MergeRowOrder::stacked({})), Cardinality::Full);
  const MergeRowOrder stacked = MergeRowOrder::stacked({3, 5});
  MergedColumnIndex mi(indexes, stacked);
  std::vector<uint64_t> starts;
  mi.visit([&](std::span<const uint64_t> b) { starts.insert(starts.end(), b.begin(), b.end()); });
  EXPECT_EQ(starts, (std::vector<uint64_t>{0, 1, 3, 4, 5, 6}));
}

}  // namespace
}  // namespace fendral::columnar

namespace fendral::columnar {
namespace {

TEST(ColumnarMergeFuzz, DamagedInputsGiveErrors) {
  std::mt19937_64 rng(31);
  Input good = random_input(rng, 300);
  for (int round = 0; round < 400; ++round) {
    Bytes b = good.bytes;
    for (int f = 0; f < 2; ++f) b[rng() % b.size()] = static_cast<uint8_t>(rng());
    auto r = ColumnarReader::open(FileSlice(OwnedBytes::copy_of(b)));
    if (!r) continue;
    std::vector<const ColumnarReader*> readers{&*r, good.reader.get()};
    const uint32_t n = r->num_rows();
    std::vector<RowAddress> rows;
    for (uint32_t d = 0; d < std::min<uint32_t>(n, 1000); d += 2) rows.push_back({0, d});
    Bytes out;
    VecWriter vw(&out);
    (void)merge_columnar(readers, {}, MergeRowOrder::stacked({n, n + 300}), vw);
    out.clear();
    (void)merge_columnar(readers, {}, MergeRowOrder::shuffled(rows, {std::nullopt, std::nullopt}), vw);
  }
}

}  // namespace
}  // namespace fendral::columnar
