#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "fulltext/columnar/column_index/column_index.h"
#include "fulltext/columnar/column_values/column_values.h"

namespace fendral::columnar {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes encode(const std::vector<uint64_t>& values, std::span<const CodecType> candidates = kColumnValueCodecs) {
  Bytes out;
  SpanSource src(values);
  EXPECT_TRUE(serialize_u64_based_column_values(src, candidates, out).has_value());
  return out;
}

std::shared_ptr<const ColumnValues<uint64_t>> open_u64(const Bytes& b) {
  auto r = load_u64_based_column_values<uint64_t>(OwnedBytes::copy_of(b));
  EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().display());
  return r ? *r : nullptr;
}

TEST(ColumnValuesFormat, PinnedBytes) {
  EXPECT_EQ(encode({}), (Bytes{0x00, 0x80, 0x81, 0x80, 0x80}));
  EXPECT_EQ(encode({10, 20, 30}), (Bytes{0x00, 0x8A, 0x8A, 0x82, 0x83, 0x24}));
}

TEST(ColumnValuesFormat, StatsAndWidths) {
  struct Case {
    std::vector<uint64_t> values;
    uint64_t gcd;
    uint8_t width;
  } cases[] = {
      {{7, 7, 7}, 1, 0},
      {{0, 8, 16}, 8, 2},
      {{0, 1, UINT64_MAX}, 1, 64},
      {{0, UINT64_MAX}, UINT64_MAX, 1},
      {{0, uint64_t{1} << 56}, uint64_t{1} << 56, 1},
      {{0, 1, uint64_t{1} << 56}, 1, 64},
  };
  for (const auto& c : cases) {
    StatsCollector s;
    for (uint64_t v : c.values) s.collect(v);
    EXPECT_EQ(s.stats().gcd, c.gcd);
    EXPECT_EQ(bitpacker::bits_needed(s.stats().amplitude()), c.width);
    auto col = open_u64(encode(c.values, std::span<const CodecType>(kColumnValueCodecs, 1)));
    for (uint32_t i = 0; i < c.values.size(); ++i) EXPECT_EQ(col->get_val(i), c.values[i]);
  }
}

TEST(ColumnValuesFormat, LineTrain) {
  std::vector<uint64_t> up{5, 7, 9, 11};
  Line l = Line::train(up);
  EXPECT_EQ(l.slope, 0x200000000u);
  EXPECT_EQ(l.intercept, 5u);
  std::vector<uint64_t> down{11, 9, 7, 5};
  Line d = Line::train(down);
  EXPECT_EQ(d.slope, 0xFFFFFFFDFFFFFFFFu);
  EXPECT_EQ(d.intercept, 11u);
  std::vector<uint64_t> residuals;
  for (uint32_t i = 0; i < 4; ++i) residuals.push_back(down[i] - d.eval(i));
  EXPECT_EQ(residuals, (std::vector<uint64_t>{0, 1, 1, 1}));
  EXPECT_EQ(Line::train(std::vector<uint64_t>{42}), (Line{0, 0}));
  // Stored slope first, then intercept.
  Bytes stored;
  l.serialize(stored);
  EXPECT_EQ(stored, (Bytes{0x00, 0x00, 0x00, 0x00, 0xA0, 0x85}));
  std::span<const uint8_t> in(stored);
  EXPECT_EQ(*Line::deserialize(in), l);
  std::vector<uint64_t> steep{0, uint64_t{1} << 33};
  EXPECT_EQ(Line::train(steep).slope, 0u);
}

TEST(ColumnValuesFormat, StartOffsetCodecChoice) {
  std::vector<uint64_t> offsets;
  for (uint64_t i = 0; i < 511; ++i) offsets.push_back(i * 3 + (i % 2));
  EXPECT_EQ(encode(offsets, kStartOffsetCodecs)[0], 0);  // Linear needs 512 values
  for (uint64_t i = 511; i < 5000; ++i) offsets.push_back(i * 3 + (i % 2));
  Bytes b = encode(offsets, kStartOffsetCodecs);
  EXPECT_EQ(b[0], 1);
  auto col = open_u64(b);
  for (uint32_t i = 0; i < offsets.size(); ++i) ASSERT_EQ(col->get_val(i), offsets[i]);
}

TEST(ColumnValuesFormat, CorruptBytesAreRejected) {
  auto err = [](const Bytes& b) {
    auto r = load_u64_based_column_values<uint64_t>(OwnedBytes::copy_of(b));
    return r ? std::string("ok") : r.error().display();
  };
  EXPECT_EQ(err({}), "Failed to read codec type");
  EXPECT_EQ(err({3}), "Failed to read codec type");
  EXPECT_EQ(err({0x00, 0x80, 0x80, 0x80, 0x80}), "GCD of 0 is forbidden");
  EXPECT_EQ(err({0x00, 0x80}), "Reach end of buffer while reading VInt");
  // Linear: stats (0 rows), line, then a width of 57 / a missing width.
  EXPECT_NE(err({0x01, 0x80, 0x81, 0x80, 0x80, 0x80, 0x80, 57}), "ok");
  EXPECT_EQ(err({0x01, 0x80, 0x81, 0x80, 0x80, 0x80, 0x80}), "failed to fill whole buffer");
  // Bitpacked stream shorter than its rows.
  EXPECT_NE(err({0x00, 0x80, 0x81, 0x8F, 0x84}), "ok");
  // Blockwise linear with a width of 60 in its table.
  std::vector<uint64_t> vals(600);
  for (size_t i = 0; i < vals.size(); ++i) vals[i] = i * i;
  Bytes b = encode(vals, std::span<const CodecType>(kColumnValueCodecs + 1, 1));
  ASSERT_EQ(b[0], 2);
  uint32_t table_len;
  std::memcpy(&table_len, b.data() + b.size() - 4, 4);
  Bytes bad = b;
  bad[b.size() - 5] = 60;  // the last block's width byte
  EXPECT_NE(err(bad), "ok");
  Bytes shortened(b.begin(), b.begin() + 20);
  EXPECT_NE(err(shortened), "ok");
}

template <class T>
void check_search(const std::vector<T>& values, const ColumnValues<T>& col, std::mt19937_64& rng) {
  std::vector<uint32_t> positions;
  for (int q = 0; q < 30; ++q) {
    T a = values[rng() % values.size()];
    T b = values[rng() % values.size()];
    if (b < a) std::swap(a, b);
    uint32_t start = static_cast<uint32_t>(rng() % values.size());
    uint32_t end = static_cast<uint32_t>(start + rng() % (values.size() + 10));
    col.get_row_ids_for_value_range(a, b, start, end, positions);
    std::vector<uint32_t> expected;
    for (uint32_t r = start; r < std::min<size_t>(end, values.size()); ++r) {
      if (!(values[r] < a) && !(b < values[r])) expected.push_back(r);
    }
    ASSERT_EQ(positions, expected);
  }
}

// Each codec forced, random values of several shapes: decode and search
// equal brute force.
TEST(ColumnValuesModel, EveryCodecMatchesBruteForce) {
  std::mt19937_64 rng(5);
  for (CodecType codec : {CodecType::Bitpacked, CodecType::Linear, CodecType::BlockwiseLinear}) {
    for (int shape = 0; shape < 4; ++shape) {
      size_t n = 512 + rng() % 3000;
      std::vector<uint64_t> v(n);
      for (size_t i = 0; i < n; ++i) {
        switch (shape) {
          case 0: v[i] = rng() % 100; break;
          case 1: v[i] = 1000 + 7 * (rng() % 50); break;
          case 2: v[i] = i * 1000 + rng() % 10; break;
          default: v[i] = rng(); break;
        }
      }
      CodecType only[] = {codec};
      Bytes b = encode(v, only);
      ASSERT_EQ(b[0], static_cast<uint8_t>(codec));
      auto col = open_u64(b);
      ASSERT_EQ(col->num_vals(), n);
      for (uint32_t i = 0; i < n; ++i) ASSERT_EQ(col->get_val(i), v[i]) << int(codec) << " " << shape << " " << i;
      EXPECT_EQ(col->min_value(), *std::min_element(v.begin(), v.end()));
      EXPECT_EQ(col->max_value(), *std::max_element(v.begin(), v.end()));
      check_search(v, *col, rng);
    }
  }
}

TEST(ColumnValuesModel, TypedKindsAndMappings) {
  EXPECT_EQ(MonotonicMapping<int64_t>::to_u64(-1), 0x7FFFFFFFFFFFFFFFu);
  EXPECT_EQ(MonotonicMapping<int64_t>::to_u64(5), 0x8000000000000005u);
  EXPECT_EQ(MonotonicMapping<double>::to_u64(-0.0), 0x7FFFFFFFFFFFFFFFu);
  EXPECT_EQ(MonotonicMapping<double>::to_u64(0.0), 0x8000000000000000u);
  EXPECT_LT(MonotonicMapping<double>::to_u64(-1.5), MonotonicMapping<double>::to_u64(-0.0));
  std::mt19937_64 rng(8);
  std::vector<double> f;
  for (int i = 0; i < 2000; ++i) f.push_back((static_cast<double>(rng() % 20000) - 10000.0) / 8.0);
  f.push_back(-0.0);
  f.push_back(0.0);
  std::vector<uint64_t> mapped;
  for (double x : f) mapped.push_back(MonotonicMapping<double>::to_u64(x));
  auto fcol = load_u64_based_column_values<double>(OwnedBytes::copy_of(encode(mapped)));
  ASSERT_TRUE(fcol.has_value());
  for (uint32_t i = 0; i < f.size(); ++i) ASSERT_EQ(std::signbit((*fcol)->get_val(i)), std::signbit(f[i]));
  check_search(f, **fcol, rng);
  std::vector<uint32_t> zeros;
  (*fcol)->get_row_ids_for_value_range(-0.0, 0.0, 0, static_cast<uint32_t>(f.size()), zeros);
  EXPECT_GE(zeros.size(), 2u);

  std::vector<uint64_t> bools{1, 0, 1};
  auto bcol = load_u64_based_column_values<bool>(OwnedBytes::copy_of(encode(bools)));
  std::vector<uint32_t> pos;
  (*bcol)->get_row_ids_for_value_range(true, true, 0, 3, pos);
  EXPECT_EQ(pos, (std::vector<uint32_t>{0, 2}));
  (*bcol)->get_row_ids_for_value_range(true, false, 0, 3, pos);
  EXPECT_TRUE(pos.empty());

  auto ucol = open_u64(encode({100, 110, 120, 130}));
  ucol->get_row_ids_for_value_range(101, 119, 0, 4, pos);
  EXPECT_EQ(pos, (std::vector<uint32_t>{1}));
  ucol->get_row_ids_for_value_range(101, 109, 0, 4, pos);
  EXPECT_TRUE(pos.empty());
  ucol->get_row_ids_for_value_range(0, 99, 0, 4, pos);
  EXPECT_TRUE(pos.empty());

  std::vector<uint64_t> out(3);
  ucol->get_range(1, out);
  EXPECT_EQ(out, (std::vector<uint64_t>{110, 120, 130}));
  std::vector<uint32_t> idx{3, 1, 3};
  ucol->get_vals(idx, out);
  EXPECT_EQ(out, (std::vector<uint64_t>{130, 110, 130}));
  auto it = ucol->iter();
  EXPECT_EQ(it.size_hint(), 4u);
  EXPECT_EQ(it.advance_by(2), 0u);
  EXPECT_EQ(it.next(), std::optional<uint64_t>(120));
  EXPECT_EQ(it.advance_by(5), 4u);
  EXPECT_FALSE(it.next().has_value());

  auto icol = load_u64_based_column_values<int64_t>(OwnedBytes::copy_of(
      encode({MonotonicMapping<int64_t>::to_u64(-1), MonotonicMapping<int64_t>::to_u64(0),
              MonotonicMapping<int64_t>::to_u64(5)})));
  EXPECT_EQ((*icol)->min_value(), -1);
  EXPECT_EQ((*icol)->max_value(), 5);
  auto as_f = std::make_shared<const I64AsF64>(*icol);
  EXPECT_EQ(as_f->get_val(0), -1.0);
  auto as_u = to_u64_view(*icol);
  EXPECT_EQ(as_u->get_val(0), 0x7FFFFFFFFFFFFFFFu);
}

// ---- column index ----

Bytes serialize_optional(uint32_t num_rows, const std::vector<uint32_t>& docs) {
  Bytes out;
  ColumnIndexToWrite w{Cardinality::Optional, num_rows, [&](const std::function<void(uint32_t)>& f) {
                         for (uint32_t d : docs) f(d);
                       }};
  EXPECT_TRUE(ColumnIndex::serialize(w, out).has_value());
  return out;
}

TEST(ColumnIndexFormat, OptionalIndexLayouts) {
  EXPECT_EQ(serialize_optional(0, {}), (Bytes{0x01, 0x80, 0x00, 0x00}));
  struct Case {
    uint32_t present;
    size_t data_bytes;
  } cases[] = {{5119, 10238}, {5120, 10240}, {65536, 10240}};
  for (const auto& c : cases) {
    std::vector<uint32_t> docs;
    for (uint32_t i = 0; i < c.present; ++i) docs.push_back(static_cast<uint32_t>(uint64_t{i} * 65536 / c.present));
    Bytes b = serialize_optional(65536, docs);
    // kind, VInt 65536 (3 bytes), data, one entry, u16.
    EXPECT_EQ(b.size(), 1 + 3 + c.data_bytes + 4 + 2) << c.present;
    auto idx = ColumnIndex::open(OwnedBytes::copy_of(b), 2);
    ASSERT_TRUE(idx.has_value());
    const OptionalIndex* o = idx->optional_index();
    EXPECT_EQ(o->num_non_null_rows(), c.present);
    if (c.present == 65536) {
      EXPECT_EQ(b[1 + 3 + 10230 + 8] | (b[1 + 3 + 10230 + 9] << 8), 65472);
    }
  }
  Bytes b = serialize_optional(65537, {65536});
  auto idx = ColumnIndex::open(OwnedBytes::copy_of(b), 2);
  const OptionalIndex* o = idx->optional_index();
  EXPECT_EQ(o->rank(65536), 0u);
  EXPECT_EQ(o->rank_if_exists(65536), std::optional<uint32_t>(0));
  EXPECT_FALSE(o->rank_if_exists(3).has_value());
  EXPECT_EQ(o->rank(70000), 1u);
  EXPECT_FALSE(o->rank_if_exists(200000).has_value());
  EXPECT_EQ(o->select_cursor().select(0), 65536u);
}

TEST(ColumnIndexModel, OptionalMatchesBruteForce) {
  std::mt19937 rng(11);
  for (double density : {0.001, 0.05, 0.5, 0.97}) {
    const uint32_t n = 200000;
    std::vector<uint32_t> docs;
    for (uint32_t d = 0; d < n; ++d) {
      if (std::uniform_real_distribution<double>(0, 1)(rng) < density) docs.push_back(d);
    }
    auto idx = ColumnIndex::open(OwnedBytes::copy_of(serialize_optional(n, docs)), 2);
    ASSERT_TRUE(idx.has_value());
    const OptionalIndex* o = idx->optional_index();
    ASSERT_EQ(o->num_non_null_rows(), docs.size());
    for (int q = 0; q < 3000; ++q) {
      uint32_t d = rng() % n;
      uint32_t r = static_cast<uint32_t>(std::lower_bound(docs.begin(), docs.end(), d) - docs.begin());
      ASSERT_EQ(o->rank(d), r);
      bool present = r < docs.size() && docs[r] == d;
      ASSERT_EQ(o->rank_if_exists(d), present ? std::optional<uint32_t>(r) : std::nullopt);
    }
    auto cursor = o->select_cursor();
    for (uint32_t r = 0; r < docs.size(); r += 1 + rng() % 50) ASSERT_EQ(cursor.select(r), docs[r]);
    auto [a, b] = idx->docid_range_to_rowids(1000, 150000);
    std::vector<uint32_t> rows;
    for (uint32_t r = a; r < b; r += 3) rows.push_back(r);
    std::vector<uint32_t> expect;
    for (uint32_t r : rows) expect.push_back(docs[r]);
    idx->rowids_to_docids(1000, rows);
    ASSERT_EQ(rows, expect);
  }
}

TEST(ColumnIndexFormat, MultivaluedRowsToDocs) {
  // 10 docs; doc 7 owns rows 10..12, docs 0..6 own rows 0..9 unevenly.
  std::vector<uint32_t> docs{0, 1, 3, 5, 6, 7, 9};
  std::vector<uint64_t> starts{0, 2, 4, 5, 8, 10, 13, 14};
  SpanSource src(starts);
  ColumnIndexToWrite w{Cardinality::Multivalued, 10,
                       [&](const std::function<void(uint32_t)>& f) {
                         for (uint32_t d : docs) f(d);
                       },
                       &src};
  Bytes out;
  auto n = ColumnIndex::serialize(w, out);
  ASSERT_TRUE(n.has_value());
  EXPECT_EQ(*n, out.size());
  auto idx = ColumnIndex::open(OwnedBytes::copy_of(out), 2);
  ASSERT_TRUE(idx.has_value());
  EXPECT_EQ(idx->num_docs(0), 10u);
  EXPECT_EQ(idx->value_row_range(7), (std::pair<uint32_t, uint32_t>{10, 13}));
  EXPECT_EQ(idx->value_row_range(2), (std::pair<uint32_t, uint32_t>{0, 0}));
  EXPECT_EQ(idx->docid_range_to_rowids(3, 8), (std::pair<uint32_t, uint32_t>{4, 13}));
  std::vector<uint32_t> rows{10, 12};
  idx->rowids_to_docids(7, rows);
  EXPECT_EQ(rows, (std::vector<uint32_t>{7}));
  rows = {0, 1, 4, 8, 9, 13};
  idx->rowids_to_docids(0, rows);
  EXPECT_EQ(rows, (std::vector<uint32_t>{0, 3, 6, 9}));
}

TEST(ColumnIndexFormat, CorruptIndexesAreRejected) {
  auto err = [](const Bytes& b, uint32_t version = 2) {
    auto r = ColumnIndex::open(OwnedBytes::copy_of(b), version);
    return r ? std::string("ok") : r.error().display();
  };
  EXPECT_EQ(err({}), "Failed to deserialize column index. Empty buffer.");
  EXPECT_EQ(err({3}), "Invalid data");
  EXPECT_EQ(err({1, 0x00, 0x00, 0x00}), "Reach end of buffer while reading VInt");
  EXPECT_NE(err({1, 0x80}), "ok");
  EXPECT_NE(err({1, 0x81, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00}), "ok");  // entry beyond its data
  EXPECT_NE(err({2, 0x01, 0x00}), "ok");
  EXPECT_NE(err({2, 0xFF, 0x00, 0x00, 0x00}), "ok");
  std::mt19937 rng(2);
  Bytes good = serialize_optional(100000, {1, 5, 70000, 70001});
  for (int i = 0; i < 2000; ++i) {
    Bytes b = good;
    b[1 + rng() % (b.size() - 1)] = static_cast<uint8_t>(rng());
    if (auto idx = ColumnIndex::open(OwnedBytes::copy_of(b), 2)) {
      for (uint32_t d : {0u, 5u, 70001u, 99999u}) (void)idx->value_row_range(d);
      auto c = idx->optional_index()->select_cursor();
      for (uint32_t r = 0; r < idx->optional_index()->num_non_null_rows() && r < 10; ++r) (void)c.select(r);
    }
  }
}

}  // namespace
}  // namespace fendral::columnar

namespace fendral::columnar {
namespace {

// Format version 1 stores a multivalued index as start offsets for every
// document plus the total.
TEST(ColumnIndexFormat, MultivaluedFormOne) {
  Bytes b{2};
  std::vector<uint64_t> starts{0, 2, 2, 5};  // doc 0: rows 0-1, doc 1: none, doc 2: rows 2-4
  SpanSource src(starts);
  ASSERT_TRUE(serialize_u64_based_column_values(src, kStartOffsetCodecs, b).has_value());
  auto idx = ColumnIndex::open(OwnedBytes::copy_of(b), 1);
  ASSERT_TRUE(idx.has_value());
  EXPECT_EQ(idx->format(), 1);
  EXPECT_EQ(idx->num_docs(0), 3u);
  EXPECT_EQ(idx->value_row_range(1), (std::pair<uint32_t, uint32_t>{2, 2}));
  EXPECT_EQ(idx->value_row_range(2), (std::pair<uint32_t, uint32_t>{2, 5}));
  EXPECT_EQ(idx->value_row_range(9), (std::pair<uint32_t, uint32_t>{0, 0}));
  std::vector<uint32_t> rows{1, 3, 4};
  idx->rowids_to_docids(0, rows);
  EXPECT_EQ(rows, (std::vector<uint32_t>{0, 2}));
}

}  // namespace
}  // namespace fendral::columnar
