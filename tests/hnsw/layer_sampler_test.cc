#include "hnsw/hnsw/layer_sampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

namespace vantor {
namespace {

std::vector<double> frequencies(LayerSampler& s, int draws) {
  std::vector<double> f(s.nb_layer(), 0.0);
  for (int i = 0; i < draws; ++i) {
    uint64_t l = s.draw_layer();
    EXPECT_LT(l, s.nb_layer());
    if (l < f.size()) f[l] += 1.0;
  }
  for (auto& x : f) x /= draws;
  return f;
}

// P(l) = e^(-l/scale) - e^(-(l+1)/scale) + e^(-nb_layer/scale) / nb_layer.
TEST(LayerSamplerTest, DrawsFollowTheExponentialWithUniformRedraws) {
  struct Case { uint64_t m, nb_layer; };
  for (Case c : {Case{4, 3}, Case{2, 5}, Case{24, 16}}) {
    LayerSampler s(c.m, c.nb_layer);
    const int draws = 400000;
    auto f = frequencies(s, draws);
    double inv_scale = std::log(static_cast<double>(c.m));
    double redraw = std::exp(-static_cast<double>(c.nb_layer) * inv_scale) / c.nb_layer;
    for (uint64_t l = 0; l < c.nb_layer; ++l) {
      double p = std::exp(-(double)l * inv_scale) - std::exp(-(double)(l + 1) * inv_scale) + redraw;
      double sigma = std::sqrt(p * (1 - p) / draws);
      EXPECT_NEAR(f[l], p, 5 * sigma + 1e-6) << "m=" << c.m << " layer " << l;
    }
  }
}

TEST(LayerSamplerTest, DegenerateScales) {
  LayerSampler one(1, 4);  // infinite scale: every draw is redrawn uniformly
  EXPECT_TRUE(std::isinf(one.level_scale()));
  auto f = frequencies(one, 40000);
  for (double x : f) EXPECT_NEAR(x, 0.25, 0.02);
  LayerSampler zero(0, 16);  // scale -0: always layer 0
  EXPECT_TRUE(std::signbit(zero.level_scale()));
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(zero.draw_layer(), 0u);
}

TEST(LayerSamplerTest, SaturatingConversion) {
  EXPECT_EQ(LayerSampler::exponential_level(0.0, 0.5), UINT64_MAX);  // -ln 0 = +inf
  EXPECT_EQ(LayerSampler::exponential_level(0.0, -0.0), 0u);         // inf * -0 = NaN
  EXPECT_EQ(LayerSampler::exponential_level(0.5, 1.0), 0u);          // floor(0.693)
  EXPECT_EQ(LayerSampler::exponential_level(0.1, 1.0), 2u);          // floor(2.30)
  EXPECT_EQ(LayerSampler::exponential_level(1e-300, 1e300), UINT64_MAX);
}

TEST(LayerSamplerTest, FixedSeedIsReproducible) {
  LayerSampler a(2, 16, {1, 2, 3, 4}), b(2, 16, {1, 2, 3, 4});
  for (int i = 0; i < 100; ++i) ASSERT_EQ(a.draw_layer(), b.draw_layer());
}

}  // namespace
}  // namespace vantor
