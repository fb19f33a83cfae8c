// Integer kernels: exact values by bit pattern, symmetry, and batch lanes
// equal to the scalar reference.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "hnsw/dist/distances.h"

namespace vantor::dist {
namespace {

uint32_t bits(float x) { return std::bit_cast<uint32_t>(x); }
const uint32_t kNaNBits = 0xffffffffu;  // any NaN: compared with isnan below

template <class D, class T>
float ev(const std::vector<T>& a, const std::vector<T>& b) {
  return D{}.eval(std::span<const T>(a), std::span<const T>(b));
}

template <class T>
struct Case {
  const char* what;
  float (*fn)(const std::vector<T>&, const std::vector<T>&);
  std::vector<T> a, b;
  uint32_t expected;
};

template <class T>
void run(const std::vector<Case<T>>& cases) {
  for (const auto& c : cases) {
    float got = c.fn(c.a, c.b);
    float swapped = c.fn(c.b, c.a);
    if (c.expected == kNaNBits) {
      EXPECT_TRUE(std::isnan(got)) << c.what;
      continue;
    }
    EXPECT_EQ(bits(got), c.expected) << c.what << ": got " << got;
    EXPECT_EQ(bits(swapped), bits(got)) << c.what << " is not symmetric";
  }
}

constexpr float k2p24 = 16777216.0f;

TEST(IntDistancesTest, I32ByBitPattern) {
  using V = i32;
  run<V>({
      {"L1", ev<DistL1, V>, {1, 2, 3}, {4, 0, 3}, bits(5.0f)},
      {"L2", ev<DistL2, V>, {0, 0}, {3, 4}, bits(5.0f)},
      {"Hamming", ev<DistHamming, V>, {1, 2, 3, 4}, {1, 0, 3, 0}, bits(0.5f)},
      {"Hamming equal", ev<DistHamming, V>, {1, 2}, {1, 2}, bits(0.0f)},
      {"L1 empty", ev<DistL1, V>, {}, {}, bits(-0.0f)},
      {"L2 empty", ev<DistL2, V>, {}, {}, bits(-0.0f)},
      {"Hamming empty", ev<DistHamming, V>, {}, {}, kNaNBits},
      {"L1 extremes", ev<DistL1, V>, {INT32_MAX}, {INT32_MIN}, bits(4294967296.0f)},
      {"L2 extremes", ev<DistL2, V>, {INT32_MAX}, {INT32_MIN}, bits(4294967296.0f)},
      {"L1 converts first", ev<DistL1, V>, {16777217}, {16777216}, bits(0.0f)},
      {"L2 converts first", ev<DistL2, V>, {16777217}, {16777216}, bits(0.0f)},
      {"Hamming compares integers", ev<DistHamming, V>, {16777217}, {16777216}, bits(1.0f)},
      {"L1 index order", ev<DistL1, V>, {16777216, 1, 1}, {0, 0, 0}, bits(k2p24)},
      {"L1 single equal is +0", ev<DistL1, V>, {7}, {7}, bits(0.0f)},
      {"L1 unequal lengths", ev<DistL1, V>, {1}, {1, 2}, kNaNBits},
  });
}

TEST(IntDistancesTest, U16ByBitPattern) {
  using V = u16;
  std::vector<V> many(257, 65535), zeros(257, 0);
  std::vector<V> kitten = {'k', 'i', 't', 't', 'e', 'n'}, sitting = {'s', 'i', 't', 't', 'i', 'n', 'g'};
  run<V>({
      {"L1 over 257 positions", ev<DistL1, V>, many, zeros, bits(65535.0f * 257.0f)},
      {"L2", ev<DistL2, V>, {0, 0}, {3, 4}, bits(5.0f)},
      {"Hamming counts elements", ev<DistHamming, V>, {7}, {0}, bits(1.0f)},
      {"Jaccard", ev<DistJaccard, V>, {1, 2}, {2, 1}, bits(0.5f)},
      {"Jaccard zeros", ev<DistJaccard, V>, {0, 0}, {0, 0}, bits(0.0f)},
      {"Jaccard disjoint", ev<DistJaccard, V>, {3}, {0}, bits(1.0f)},
      {"Jaccard common prefix", ev<DistJaccard, V>, {5}, {5, 7}, bits(0.0f)},
      {"Jaccard empty", ev<DistJaccard, V>, {}, {1}, bits(0.0f)},
      {"Levenshtein kitten", ev<DistLevenshtein, V>, kitten, sitting, bits(3.0f)},
      {"Levenshtein empty", ev<DistLevenshtein, V>, {}, {}, bits(0.0f)},
      {"Levenshtein one empty", ev<DistLevenshtein, V>, {}, {1, 2, 3}, bits(3.0f)},
      {"Levenshtein swap is two", ev<DistLevenshtein, V>, {1, 2}, {2, 1}, bits(2.0f)},
      {"Levenshtein 16-bit symbols", ev<DistLevenshtein, V>, {0x0101}, {0x0102}, bits(1.0f)},
  });
  // A row longer than the kernel's stack row.
  std::vector<V> a(1000, 1), b(600, 1);
  EXPECT_EQ((ev<DistLevenshtein, V>(a, b)), 400.0f);
}

TEST(IntDistancesTest, U32AndU8ByBitPattern) {
  run<u32>({
      {"L1", ev<DistL1, u32>, {1, 2, 3}, {3, 2, 1}, bits(4.0f)},
      {"L1 converts first", ev<DistL1, u32>, {16777216}, {16777217}, bits(0.0f)},
      {"L1 unsigned", ev<DistL1, u32>, {UINT32_MAX}, {0}, bits(4294967296.0f)},
      {"L1 order", ev<DistL1, u32>, {1, 1, 16777216}, {0, 0, 0}, bits(16777218.0f)},
      {"L2 unsigned", ev<DistL2, u32>, {UINT32_MAX}, {0}, bits(4294967296.0f)},
      {"Jaccard unsigned", ev<DistJaccard, u32>, {3000000000u}, {1000000000u}, bits(static_cast<float>(1.0 - 1.0 / 3.0))},
  });
  run<u8>({
      {"L1 no wrap", ev<DistL1, u8>, {100, 200}, {200, 100}, bits(200.0f)},
      {"L1 510", ev<DistL1, u8>, {0, 255}, {255, 0}, bits(510.0f)},
      {"L2 255", ev<DistL2, u8>, {255}, {0}, bits(255.0f)},
      {"Hamming one element", ev<DistHamming, u8>, {15}, {240}, bits(1.0f)},
      {"Hamming third", ev<DistHamming, u8>, {1, 2, 3}, {1, 2, 4}, bits(1.0f / 3.0f)},
      {"Jaccard 2/3", ev<DistJaccard, u8>, {1}, {3}, bits(static_cast<float>(1.0 - 1.0 / 3.0))},
      {"Jaccard disjoint", ev<DistJaccard, u8>, {0, 5}, {7, 0}, bits(1.0f)},
      {"Jaccard prefix", ev<DistJaccard, u8>, {1, 2, 3}, {1, 2}, bits(0.0f)},
  });
}

TEST(IntDistancesTest, CheckRefusesEmptyHammingVectors) {
  EXPECT_TRUE(DistHamming::check(std::span<const u8>()).has_value());
  EXPECT_FALSE(DistHamming::check(std::span<const u8>(std::vector<u8>{1}.data(), 1)).has_value());
  EXPECT_FALSE(DistJaccard::check(std::span<const u8>()).has_value());
}

// Every lane of a batch equals the scalar kernel, for every lane count and
// lengths around the 8-element blocks, with values whose sums round.
template <class T, class D>
void batch_equals_scalar(uint32_t seed) {
  std::mt19937_64 rng(seed);
  for (size_t n : {0u, 1u, 7u, 8u, 9u, 31u, 100u}) {
    for (size_t count : {1u, 3u, 8u, 9u, 16u, 21u}) {
      std::vector<std::vector<T>> rows(count, std::vector<T>(n));
      std::vector<T> q(n);
      for (auto& x : q) x = static_cast<T>(rng());
      for (auto& r : rows)
        for (auto& x : r) x = static_cast<T>(rng());
      std::vector<const T*> ptrs;
      for (auto& r : rows) ptrs.push_back(r.data());
      std::vector<typename D::Aux> aux(count);
      std::vector<float> out(count);
      D d;
      d.eval_batch(q.data(), {}, ptrs.data(), aux.data(), count, n, out.data());
      for (size_t j = 0; j < count; ++j) {
        ASSERT_EQ(bits(out[j]), bits(d.eval(std::span<const T>(q), std::span<const T>(rows[j]))))
            << D::kName << " n=" << n << " count=" << count << " row " << j;
      }
    }
  }
}

TEST(IntDistancesTest, BatchLanesEqualScalarKernels) {
  batch_equals_scalar<i32, DistL1>(1);
  batch_equals_scalar<i32, DistL2>(2);
  batch_equals_scalar<u16, DistL1>(3);
  batch_equals_scalar<u16, DistL2>(4);
  batch_equals_scalar<u32, DistL1>(5);
  batch_equals_scalar<u32, DistL2>(6);
  batch_equals_scalar<u8, DistL1>(7);
  batch_equals_scalar<u8, DistL2>(8);
}

TEST(IntDistancesTest, TypeNames) {
  EXPECT_EQ(DistHamming::kTypeName, "morvane::dist::distances::DistHamming");
  EXPECT_EQ(DistLevenshtein::kTypeName, "morvane::dist::distances::DistLevenshtein");
  EXPECT_EQ(DistCFFI<u16>::type_name(), "morvane::dist::distances::DistCFFI<u16>");
  EXPECT_EQ(ElemName<u8>::value, "u8");
}

}  // namespace
}  // namespace vantor::dist
