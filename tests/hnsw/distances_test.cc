#include "hnsw/dist/distances.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include "common/log.h"
#include "hnsw/dist/batch_f32.h"
#include "hnsw/dist/kernels.h"

namespace vantor::dist {
namespace {

using Vec = std::vector<float>;

uint32_t bits(float x) { return std::bit_cast<uint32_t>(x); }

template <class D>
float ev(const Vec& a, const Vec& b) {
  return D{}.eval(a, b);
}

struct ExactCase {
  const char* what;
  float (*fn)(const Vec&, const Vec&);
  Vec a, b;
  uint32_t expected_bits;
};

const float k2p24 = 16777216.0f;

// Values whose every step is a plain IEEE operation: compared by bit pattern.
TEST(DistancesTest, ExactValuesByBitPattern) {
  const std::vector<ExactCase> cases = {
      {"L1 rounds each addition", ev<DistL1>, {k2p24, 1, 1}, {0, 0, 0}, bits(k2p24)},
      {"L1 common prefix", ev<DistL1>, {1, 2, 3}, {1, 2}, bits(0.0f)},
      {"L1 empty is -0", ev<DistL1>, {}, {}, bits(-0.0f)},
      {"L1 empty vs non-empty is -0", ev<DistL1>, {}, {1, 2}, bits(-0.0f)},
      {"L1 identical is +0", ev<DistL1>, {1, 2}, {1, 2}, bits(0.0f)},
      {"L2 4096,1,1", ev<DistL2>, {4096, 1, 1}, {0, 0, 0}, bits(4096.0f)},
      {"L2 3-4-5", ev<DistL2>, {0, 0}, {3, 4}, bits(5.0f)},
      {"L2 common prefix", ev<DistL2>, {1, 2, 3}, {1, 2}, bits(0.0f)},
      {"L2 empty is -0", ev<DistL2>, {}, {}, bits(-0.0f)},
      {"Dot same", ev<DistDot>, {1, 0}, {1, 0}, bits(0.0f)},
      {"Dot orthogonal", ev<DistDot>, {1, 0}, {0, 1}, bits(1.0f)},
      {"Dot opposite", ev<DistDot>, {1, 0}, {-1, 0}, bits(2.0f)},
      {"Dot common prefix", ev<DistDot>, {1, 0, 7}, {1, 0}, bits(0.0f)},
      {"Dot empty", ev<DistDot>, {}, {}, bits(1.0f)},
      {"Dot zero vector", ev<DistDot>, {0, 0}, {0.3f, 0.4f}, bits(1.0f)},
      {"Cosine 45 degrees", ev<DistCosine>, {1, 1}, {1, 0}, 0x3e95f61au},
      {"Cosine orthogonal", ev<DistCosine>, {1, 0}, {0, 1}, bits(1.0f)},
      {"Cosine opposite", ev<DistCosine>, {1, 0}, {-1, 0}, bits(2.0f)},
      {"Cosine scale free", ev<DistCosine>, {2, 0}, {5, 0}, bits(0.0f)},
      // f64 sums: dot 2^24, both squared norms 2^24 + 2, exact.
      {"Cosine f64 accumulation", ev<DistCosine>, {4096, 1, 1}, {4096, 1, -1}, 0x33fffffeu},
      {"Cosine zero vector", ev<DistCosine>, {0, 0, 0}, {1, 2, 3}, bits(0.0f)},
      {"Cosine empty", ev<DistCosine>, {}, {}, bits(0.0f)},
      {"Hellinger same", ev<DistHellinger>, {0.5f, 0.5f}, {0.5f, 0.5f}, bits(0.0f)},
      {"Hellinger exact unit sum", ev<DistHellinger>, {0.2f, 0.3f, 0.5f}, {0.2f, 0.3f, 0.5f}, bits(0.0f)},
      {"Hellinger disjoint", ev<DistHellinger>, {1, 0}, {0, 1}, bits(1.0f)},
      {"Hellinger swapped", ev<DistHellinger>, {0.25f, 0.75f}, {0.75f, 0.25f}, 0x3ebb67afu},
      {"Hellinger skewed", ev<DistHellinger>, {0.5f, 0.5f}, {0.9f, 0.1f}, 0x3ea65be0u},
      {"Hellinger sum 0.6", ev<DistHellinger>, {0.3f, 0.3f}, {0.3f, 0.3f}, 0x3f21e89bu},
      {"Hellinger empty", ev<DistHellinger>, {}, {}, bits(1.0f)},
      {"Hellinger common prefix", ev<DistHellinger>, {0.5f, 0.5f, 0.9f}, {0.5f, 0.5f}, bits(0.0f)},
      {"Jeffreys same", ev<DistJeffreys>, {0.25f, 0.75f}, {0.25f, 0.75f}, bits(0.0f)},
      {"Jeffreys both floored", ev<DistJeffreys>, {-1}, {-3}, bits(0.0f)},
      {"Jeffreys empty", ev<DistJeffreys>, {}, {}, bits(0.0f)},
      {"Jeffreys overflowing quotient", ev<DistJeffreys>, {4e8f}, {0}, bits(std::numeric_limits<float>::infinity())},
      {"JS same", ev<DistJensenShannon>, {0.25f, 0.75f}, {0.25f, 0.75f}, bits(0.0f)},
      {"JS empty", ev<DistJensenShannon>, {}, {}, bits(0.0f)},
      {"JS both zero adds nothing", ev<DistJensenShannon>, {0, 1}, {0, 1}, bits(0.0f)},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(bits(c.fn(c.a, c.b)), c.expected_bits) << c.what << ": got " << c.fn(c.a, c.b);
  }
}

// Logarithm-based values depend on the last bit of logf: within 2 ulp of the
// documented values.
TEST(DistancesTest, DivergenceValuesWithinLogPrecision) {
  struct Case {
    const char* what;
    float (*fn)(const Vec&, const Vec&);
    Vec a, b;
    float expected;
    double rel = 2e-6;  // the documented decimals carry 7 significant digits
  };
  const std::vector<Case> cases = {
      {"JS disjoint = sqrt(ln 2)", ev<DistJensenShannon>, {1, 0}, {0, 1}, 0.8325546f},
      {"JS skewed", ev<DistJensenShannon>, {0.5f, 0.5f}, {0.9f, 0.1f}, 0.3189815f},
      {"JS swapped", ev<DistJensenShannon>, {0.25f, 0.75f}, {0.75f, 0.25f}, 0.3616794f},
      {"JS unnormalised", ev<DistJensenShannon>, {1}, {3}, 0.5114920f},
      {"Jeffreys disjoint", ev<DistJeffreys>, {1, 0}, {0, 1}, 138.1551f},
      {"Jeffreys skewed", ev<DistJeffreys>, {0.5f, 0.5f}, {0.9f, 0.1f}, 0.8788898f},
      {"Jeffreys swapped", ev<DistJeffreys>, {0.25f, 0.75f}, {0.75f, 0.25f}, 1.0986123f},
      {"Jeffreys vs zero", ev<DistJeffreys>, {0.5f}, {0}, 34.19220f},
      {"Jeffreys common prefix", ev<DistJeffreys>, {0.5f, 0.5f, 0.7f}, {0.9f, 0.1f}, 0.8788898f},
      {"Jeffreys vs negative", ev<DistJeffreys>, {0.5f}, {-3}, 239.3454f},
      {"Jeffreys tiny vs huge", ev<DistJeffreys>, {0}, {4e8f}, 3.555e10f, 2e-4},
  };
  for (const auto& c : cases) {
    float got = c.fn(c.a, c.b);
    EXPECT_NEAR(got, c.expected, std::fabs(c.expected) * c.rel) << c.what;
  }
}

// The index needs a number >= 0 from every pair it may compare.
TEST(DistancesTest, NeverNegativeOrNaNOnAcceptedInput) {
  std::mt19937 rng(7);
  std::normal_distribution<float> g(0, 1);
  for (int t = 0; t < 200; ++t) {
    Vec a(384);
    for (auto& x : a) x = g(rng);
    float n = 0;
    for (float x : a) n += x * x;
    n = std::sqrt(n);
    for (auto& x : a) x /= n;
    float dd = DistDot{}.eval(a, a);
    ASSERT_GE(dd, 0.0f);
    ASSERT_FALSE(std::isnan(dd));
    // A histogram and a re-normalised copy differ in the last bits only.
    Vec h(64), h2(64);
    float s = 0;
    for (auto& x : h) s += (x = std::fabs(g(rng)));
    for (size_t i = 0; i < h.size(); ++i) h[i] /= s;
    float s2 = 0;
    for (float x : h) s2 += x;
    for (size_t i = 0; i < h.size(); ++i) h2[i] = h[i] / s2;
    float js = DistJensenShannon{}.eval(h, h2);
    ASSERT_GE(js, 0.0f);
    ASSERT_FALSE(std::isnan(js));
    ASSERT_GE(DistHellinger{}.eval(h, h2), 0.0f);
  }
}

TEST(DistancesTest, UnequalLengthsAreFarthestWhereUndefined) {
  EXPECT_EQ(DistCosine{}.eval(Vec{1, 0}, Vec{1, 0, 0}), std::numeric_limits<float>::infinity());
  EXPECT_EQ(DistJensenShannon{}.eval(Vec{0.5f}, Vec{0.5f, 0.5f}), std::numeric_limits<float>::infinity());
}

TEST(DistancesTest, SymmetricBitForBit) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> u(-3, 3);
  for (int t = 0; t < 100; ++t) {
    Vec a(17), b(17);
    for (auto& x : a) x = u(rng);
    for (auto& x : b) x = u(rng);
    EXPECT_EQ(bits(DistL1{}.eval(a, b)), bits(DistL1{}.eval(b, a)));
    EXPECT_EQ(bits(DistL2{}.eval(a, b)), bits(DistL2{}.eval(b, a)));
    EXPECT_EQ(bits(DistDot{}.eval(a, b)), bits(DistDot{}.eval(b, a)));
    EXPECT_EQ(bits(DistCosine{}.eval(a, b)), bits(DistCosine{}.eval(b, a)));
    for (auto& x : a) x = std::fabs(x);
    for (auto& x : b) x = std::fabs(x);
    EXPECT_EQ(bits(DistHellinger{}.eval(a, b)), bits(DistHellinger{}.eval(b, a)));
  }
}

TEST(DistancesTest, ChecksRefuseWhatTheKernelCannotCompare) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_TRUE(DistL2::check(Vec{1, 2}) == std::nullopt);
  EXPECT_TRUE(DistL1::check(Vec{1, nan}).has_value());
  EXPECT_TRUE(DistL2::check(Vec{inf}).has_value());
  EXPECT_TRUE(DistDot::check(Vec{-inf}).has_value());
  EXPECT_TRUE(DistCosine::check(Vec{2e19f}).has_value());  // its square overflows
  EXPECT_TRUE(DistCosine::check(Vec{1e19f}) == std::nullopt);
  EXPECT_TRUE(DistJensenShannon::check(Vec{0.5f, -0.1f}).has_value());
  EXPECT_TRUE(DistHellinger::check(Vec{-0.5f}).has_value());
  EXPECT_TRUE(DistJeffreys::check(Vec{-0.5f}) == std::nullopt);
  EXPECT_EQ(*DistL1::check(Vec{1, nan}), "vector component 1 is not a finite number");
}

// Batches must reproduce the pair kernel bit for bit, whatever the lane count
// and the tail length.
template <class D>
void expect_batch_matches_pairs(std::mt19937& rng, bool non_negative) {
  std::normal_distribution<float> g(0, 1);
  for (size_t n : {0, 1, 7, 8, 9, 16, 33, 128}) {
    for (size_t count : {1, 3, 8, 11, 17}) {
      Vec q(n);
      std::vector<Vec> rows(count, Vec(n));
      auto draw = [&] { float x = g(rng); return non_negative ? std::fabs(x) : x; };
      for (auto& x : q) x = draw();
      for (auto& r : rows)
        for (auto& x : r) x = draw();
      if (count > 2) rows[1] = q;  // an exact copy: the zero cases
      std::vector<const float*> ptrs;
      std::vector<typename D::Aux> auxes;
      for (auto& r : rows) {
        ptrs.push_back(r.data());
        auxes.push_back(D::aux(r.data(), n));
      }
      std::vector<float> out(count);
      D d;
      d.eval_batch(q.data(), D::aux(q.data(), n), ptrs.data(), auxes.data(), count, n, out.data());
      for (size_t j = 0; j < count; ++j) {
        float ref = d.eval(q, rows[j]);
        ASSERT_EQ(bits(out[j]), bits(ref)) << D::kName << " n=" << n << " count=" << count << " row " << j;
        ASSERT_EQ(bits(d.eval_n(q.data(), D::aux(q.data(), n), ptrs[j], auxes[j], n)), bits(ref));
      }
    }
  }
}

TEST(DistancesTest, BatchesAreBitIdenticalToPairs) {
  std::mt19937 rng(3);
  expect_batch_matches_pairs<DistL1>(rng, false);
  expect_batch_matches_pairs<DistL2>(rng, false);
  expect_batch_matches_pairs<DistDot>(rng, false);
  expect_batch_matches_pairs<DistCosine>(rng, false);
  expect_batch_matches_pairs<DistHellinger>(rng, true);
  expect_batch_matches_pairs<DistJeffreys>(rng, true);
  expect_batch_matches_pairs<DistJensenShannon>(rng, true);
}

// The cosine kernels sum in SIMD order only where that cannot round; data
// with wide magnitude ranges, tiny and zero components forces the ordered
// path. Either way every result equals the ordered scalar sum bit for bit.
TEST(DistancesTest, CosineMatchesTheOrderedSumOnAnyMagnitudes) {
  std::mt19937 rng(11);
  std::normal_distribution<float> g(0, 1);
  std::uniform_int_distribution<int> exp(-60, 60);
  DistCosine d;
  for (int t = 0; t < 4000; ++t) {
    size_t n = t % 7 == 0 ? rng() % 70 : 128;
    int mode = t % 5;
    auto draw = [&] {
      float x = g(rng);
      if (mode == 1) x = std::ldexp(x, exp(rng));             // wide exponents: rounding
      if (mode == 2 && rng() % 8 == 0) x = 0.0f;               // zero products
      if (mode == 3 && rng() % 40 == 0) x *= 1e-7f;            // one tiny product
      if (mode == 4 && rng() % 40 == 0) x = std::ldexp(x, -140);  // subnormal products
      return x;
    };
    Vec q(n);
    for (auto& x : q) x = draw();
    std::vector<Vec> rows(9, Vec(n));
    for (auto& r : rows)
      for (auto& x : r) x = draw();
    std::vector<const float*> ptrs;
    std::vector<DistCosine::Aux> auxes;
    for (auto& r : rows) {
      ptrs.push_back(r.data());
      auxes.push_back(DistCosine::aux(r.data(), n));
    }
    std::vector<float> out(rows.size());
    d.eval_batch(q.data(), DistCosine::aux(q.data(), n), ptrs.data(), auxes.data(), rows.size(), n, out.data());
    for (size_t j = 0; j < rows.size(); ++j) {
      ASSERT_EQ(bits(out[j]), bits(d.eval(q, rows[j]))) << "t=" << t << " row " << j;
      ASSERT_EQ(std::bit_cast<uint64_t>(batch::dot64_one(q.data(), rows[j].data(), n)),
                std::bit_cast<uint64_t>(kernel::dot64(q.data(), rows[j].data(), n)));
    }
  }
}

float first_len(const float* a, const float* b, uint64_t n) {
  (void)a;
  (void)b;
  return static_cast<float>(n);
}

TEST(DistancesTest, CallerSuppliedDistanceGetsFirstLengthAndIsTraced) {
  DistCFFI<float> d{first_len};
  EXPECT_EQ(DistCFFI<float>::type_name(), "morvane::dist::distances::DistCFFI<f32>");
  EXPECT_EQ(d.eval(Vec{}, Vec{1, 2}), 0.0f);
  EXPECT_EQ(d.eval(Vec{1, 2, 3}, Vec{1}), 3.0f);
  zudizid::log::ScopedCapture capture(zudizid::log::Level::Trace);
  d.eval(Vec{1}, Vec{1});
  auto recs = capture.records();
  ASSERT_EQ(recs.size(), 1u);
  EXPECT_EQ(recs[0].target, "morvane::dist::distances");
  EXPECT_TRUE(recs[0].message.starts_with("DistCFFI dist_function_ptr 0x")) << recs[0].message;
  EXPECT_TRUE(recs[0].message.ends_with(" returning 1.0 ")) << recs[0].message;
}

TEST(DistancesTest, TypeNames) {
  EXPECT_EQ(DistL1::kTypeName, "morvane::dist::distances::DistL1");
  EXPECT_EQ(DistCosine::kTypeName, "morvane::dist::distances::DistCosine");
  EXPECT_EQ(DistJensenShannon::kTypeName, "morvane::dist::distances::DistJensenShannon");
  EXPECT_EQ(NoDist::kTypeName, "morvane::dist::distances::NoDist");
}

}  // namespace
}  // namespace vantor::dist

#include "common/float_text.h"

namespace vantor::dist {
namespace {

TEST(FloatTextTest, DebugTextOfDistances) {
  struct Case { float x; const char* text; };
  for (Case c : {Case{1.0f, "1.0"}, Case{0.25f, "0.25"}, Case{0.0f, "0.0"}, Case{-2.5f, "-2.5"},
                 Case{1e-5f, "1e-5"}, Case{1e16f, "1e16"}, Case{123456.0f, "123456.0"},
                 Case{0.29289323f, "0.29289323"}}) {
    EXPECT_EQ(zudizid::common::float32_debug(c.x), c.text);
  }
}

}  // namespace
}  // namespace vantor::dist
