// Byte-level types: VInt, bit sets, JSON paths, file slices.
#include <gtest/gtest.h>

#include "fulltext/common/bitset.h"
#include "fulltext/common/file_slice.h"
#include "fulltext/common/json_path_writer.h"
#include "fulltext/common/vint.h"

namespace fendral {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(VInt, EncodesStopBitOnLastByte) {
  struct Case {
    uint64_t value;
    Bytes bytes;
  } cases[] = {
      {0, {0x80}},
      {1, {0x81}},
      {127, {0xFF}},
      {128, {0x00, 0x81}},
      {300, {0x2C, 0x82}},
      {16383, {0x7F, 0xFF}},
      {16384, {0x00, 0x00, 0x81}},
      {(1ull << 32) - 1, {0x7F, 0x7F, 0x7F, 0x7F, 0x8F}},
      {(1ull << 63) - 1, {0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0xFF}},
      {~0ull, {0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x81}},
  };
  for (const auto& c : cases) {
    Bytes out;
    vint::append(out, c.value);
    EXPECT_EQ(out, c.bytes) << c.value;
    std::span<const uint8_t> in(out);
    auto back = vint::read_u64(in);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, c.value);
    EXPECT_TRUE(in.empty());
  }
}

TEST(VInt, TruncatedInputIsAnError) {
  Bytes bytes{0x00, 0x00};
  std::span<const uint8_t> in(bytes);
  auto r = vint::read_u64(in);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind(), IoErrorKind::InvalidData);
  EXPECT_EQ(r.error().display(), "Reach end of buffer while reading VInt");

  // 32-bit reads: at most five bytes, the fifth must end the value.
  Bytes six{0x00, 0x00, 0x00, 0x00, 0x00, 0x81};
  std::span<const uint8_t> in32(six);
  auto r32 = vint::read_u32(in32);
  ASSERT_FALSE(r32.has_value());
  EXPECT_EQ(r32.error().display(), "Corrupted data. Invalid VInt 32");
  Bytes max32{0x7F, 0x7F, 0x7F, 0x7F, 0x8F};
  std::span<const uint8_t> ok(max32);
  EXPECT_EQ(vint::read_u32(ok).value(), 0xFFFFFFFFu);
}

TEST(BitSet, BoundHidesBitsAboveIt) {
  Bytes bytes{65, 0, 0, 0};
  bytes.insert(bytes.end(), 16, 0xFF);
  auto set = ReadOnlyBitSet::open(OwnedBytes::from_vector(bytes));
  ASSERT_TRUE(set.has_value());
  EXPECT_EQ(set->id_bound(), 65u);
  EXPECT_EQ(set->len(), 65u);
  auto it = set->iter();
  std::vector<uint32_t> ids;
  while (auto id = it.next()) ids.push_back(*id);
  ASSERT_EQ(ids.size(), 65u);
  EXPECT_EQ(ids.front(), 0u);
  EXPECT_EQ(ids.back(), 64u);
  EXPECT_FALSE(set->contains(65));
  auto it2 = set->iter();
  EXPECT_EQ(it2.nth(10), 10u);
}

TEST(BitSet, RoundTripsAndRejectsShortWords) {
  BitSetBuilder b(130);
  for (uint32_t id : {0u, 63u, 64u, 129u}) b.insert(id);
  auto set = ReadOnlyBitSet::open(OwnedBytes::from_vector(b.serialize())).value();
  std::vector<uint32_t> ids;
  auto it = set.iter();
  while (auto id = it.next()) ids.push_back(*id);
  EXPECT_EQ(ids, (std::vector<uint32_t>{0, 63, 64, 129}));
  EXPECT_EQ(set.len(), 4u);

  Bytes short_words{130, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  auto bad = ReadOnlyBitSet::open(OwnedBytes::from_vector(short_words));
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().kind(), FendralError::Kind::DataCorruption);
  EXPECT_FALSE(ReadOnlyBitSet::open(OwnedBytes::from_vector({1, 0})).has_value());
}

TEST(JsonPathWriter, SeparatesSegmentsAndSplitsDots) {
  struct Case {
    bool split;
    std::vector<std::string> segments;
    std::string expected;
  } cases[] = {
      {true, {"a", "b.c"}, std::string("a\x01" "b\x01" "c")},
      {false, {"a", "b.c"}, std::string("a\x01" "b.c")},
      {true, {"x.y"}, std::string("x\x01y")},
      {false, {"", "a"}, std::string("\x01" "a")},
  };
  for (const auto& c : cases) {
    JsonPathWriter w(c.split);
    for (const auto& s : c.segments) w.push(s);
    EXPECT_EQ(w.as_str(), c.expected);
  }
  JsonPathWriter w(true);
  w.pop();  // nothing pushed: no effect
  w.push("a");
  w.push("b.c");
  w.pop();
  EXPECT_EQ(w.as_str(), "a");
}

TEST(FileSlice, SlicesAndChecksRanges) {
  FileSlice slice(OwnedBytes::from_vector({1, 2, 3, 4, 5}));
  auto [left, right] = slice.split(0);
  EXPECT_EQ(left.len(), 0u);
  EXPECT_EQ(right.len(), 5u);
  auto [l2, r2] = slice.split(5);
  EXPECT_EQ(l2.len(), 5u);
  EXPECT_EQ(r2.len(), 0u);
  try {
    slice.split(6);
    FAIL() << "split past the end must stop";
  } catch (const ContractViolation& e) {
    EXPECT_STREQ(e.what(), "assertion failed: end <= orig_range.end");
  }
  EXPECT_EQ(slice.sub_slice(1, 4).read_all().value().as_bytes()[0], 2);
  auto all = slice.read_range(0, 5);
  ASSERT_TRUE(all.has_value());
  EXPECT_EQ(all->len(), 5u);
  auto past = slice.read_range(0, 6);
  ASSERT_FALSE(past.has_value());
  EXPECT_EQ(past.error().display(), "end of requested range exceeds the fileslice length (6 > 5)");
  EXPECT_FALSE(slice.checked_sub_slice(2, 9).has_value());
  FileSlice inverted(slice.handle(), 4, 2);
  EXPECT_EQ(inverted.len(), 0u);
  EXPECT_EQ(OwnedBytes::from_vector({1, 2, 3}).debug(), "OwnedBytes([1, 2, 3], len=3)");
}

}  // namespace
}  // namespace fendral
