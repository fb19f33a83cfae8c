// Bit packing: every width round-trips and matches a plain reference packer;
// the range filter agrees with row-by-row reads, with and without AVX2.
#include <gtest/gtest.h>

#include <random>

#include "fulltext/bitpacker/bitpacker.h"

namespace fendral::bitpacker {
namespace {

// Reference: set bit i*w+k of the stream for bit k of value i.
std::vector<uint8_t> reference_pack(const std::vector<uint64_t>& values, uint32_t w) {
  std::vector<uint8_t> out((values.size() * w + 7) / 8, 0);
  for (size_t i = 0; i < values.size(); ++i) {
    for (uint32_t k = 0; k < w; ++k) {
      if ((values[i] >> k) & 1) {
        size_t bit = i * w + k;
        out[bit / 8] |= static_cast<uint8_t>(1u << (bit % 8));
      }
    }
  }
  return out;
}

TEST(BitPacker, BitsNeeded) {
  struct Case {
    uint64_t v;
    uint8_t bits;
  } cases[] = {{0, 0}, {1, 1}, {255, 8}, {(1ull << 56) - 1, 56}, {1ull << 56, 64}, {~0ull, 64}};
  for (auto c : cases) EXPECT_EQ(bits_needed(c.v), c.bits) << c.v;
}

TEST(BitPacker, EveryWidthRoundTripsAndMatchesReference) {
  std::mt19937_64 rng(42);
  for (uint32_t w = 0; w <= 64; ++w) {
    uint64_t mask = w == 64 ? ~0ull : (1ull << w) - 1;
    std::vector<uint64_t> values(203);
    for (auto& v : values) v = rng() & mask;
    values[0] = mask;  // the largest value of the width
    std::vector<uint8_t> packed;
    BitPacker packer;
    for (uint64_t v : values) packer.write(v, static_cast<uint8_t>(w), packed);
    packer.close(packed);
    EXPECT_EQ(packed, reference_pack(values, w)) << "width " << w;
    if (w > 56 && w < 64) continue;  // not readable widths
    BitUnpacker unpacker(static_cast<uint8_t>(w));
    for (size_t i = 0; i < values.size(); ++i) {
      ASSERT_EQ(unpacker.get(static_cast<uint32_t>(i), packed), values[i]) << "width " << w << " row " << i;
    }
  }
}

TEST(BitPacker, MixedWidthsAndShortRuns) {
  std::vector<uint8_t> out;
  BitPacker p;
  for (uint64_t v : {1, 2, 3}) p.write(v, 5, out);
  p.close(out);
  EXPECT_EQ(out.size(), 2u);
  std::vector<uint8_t> none;
  BitPacker p0;
  for (int i = 0; i < 3; ++i) p0.write(0, 0, none);
  p0.close(none);
  EXPECT_TRUE(none.empty());
  // A 64-bit value after a 3-bit one straddles two staging words.
  std::vector<uint8_t> mixed;
  BitPacker pm;
  pm.write(5, 3, mixed);
  pm.write(0xDEADBEEFCAFEBABEull, 64, mixed);
  pm.write(0x0123456789ABCDEFull, 64, mixed);
  pm.close(mixed);
  EXPECT_EQ(mixed.size(), (3 + 128 + 7) / 8u);
  EXPECT_EQ(mixed[0] & 7, 5);
  EXPECT_THROW(BitUnpacker(57), ContractViolation);
}

TEST(BitPacker, RangeFilterMatchesRowReads) {
  std::mt19937_64 rng(7);
  for (uint32_t w : {0u, 1u, 5u, 16u, 31u, 32u, 40u}) {
    uint64_t mask = (w == 0) ? 0 : (1ull << w) - 1;
    std::vector<uint64_t> values(1100);
    for (auto& v : values) v = rng() & mask;
    std::vector<uint8_t> packed;
    BitPacker p;
    for (uint64_t v : values) p.write(v, static_cast<uint8_t>(w), packed);
    p.close(packed);
    BitUnpacker u(static_cast<uint8_t>(w));
    for (auto [low, high] : {std::pair<uint64_t, uint64_t>{0, mask / 3}, {mask / 4, mask / 2}, {1, ~0ull}, {0, 0}}) {
      std::vector<uint32_t> expected;
      for (uint32_t r = 5; r < 1005; ++r) {
        if (values[r] >= low && values[r] <= high) expected.push_back(r);
      }
      std::vector<uint32_t> got{99, 98};
      ASSERT_TRUE(u.get_ids_for_value_range(low, high, 5, 1005, packed, got).has_value());
      EXPECT_EQ(got, expected) << "width " << w << " range " << low << ".." << high;
    }
    std::vector<uint32_t> empty{1};
    ASSERT_TRUE(u.get_ids_for_value_range(0, ~0ull, 10, 10, packed, empty).has_value());
    EXPECT_TRUE(empty.empty());
  }
  // A low bound above 2^32-1 matches nothing at widths up to 32; a high bound
  // above it is clamped.
  std::vector<uint8_t> packed;
  BitPacker p;
  for (uint64_t v = 0; v < 100; ++v) p.write(v * 600, 16, packed);
  p.close(packed);
  BitUnpacker u(16);
  std::vector<uint32_t> out;
  ASSERT_TRUE(u.get_ids_for_value_range(1ull << 32, ~0ull, 0, 100, packed, out).has_value());
  EXPECT_TRUE(out.empty());
  ASSERT_TRUE(u.get_ids_for_value_range(600 * 90, 1ull << 40, 0, 100, packed, out).has_value());
  EXPECT_EQ(out.size(), 10u);
  // Data shorter than the rows asked for is corrupt input, not a crash.
  auto bad = u.get_ids_for_value_range(0, 10, 0, 1000, packed, out);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().kind(), FendralError::Kind::DataCorruption);
}

TEST(BitPacker, VectorFilterEqualsScalarFilter) {
  std::mt19937 rng(3);
  std::vector<uint32_t> values(1003);
  for (auto& v : values) v = rng() % 1000;
  auto a = values, b = values;
  size_t na = detail::filter_vec_in_place(200, 700, 5, a.data(), a.size(), false);
  size_t nb = detail::filter_vec_in_place(200, 700, 5, b.data(), b.size(), true);
  ASSERT_EQ(na, nb);
  a.resize(na);
  b.resize(nb);
  EXPECT_EQ(a, b);
}

}  // namespace
}  // namespace fendral::bitpacker
