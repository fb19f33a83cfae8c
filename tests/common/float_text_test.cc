#include "common/float_text.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <bit>
#include <charconv>

namespace zudizid::common {
namespace {

TEST(FloatText, DebugForm) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {
      {1.0, "1.0"},
      {2.5, "2.5"},
      {-0.0, "-0.0"},
      {0.0, "0.0"},
      {0.1, "0.1"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e16"},
      {2.5e16, "2.5e16"},
      {1.8446744073709552e19, "1.8446744073709552e19"},
      {0.0001, "0.0001"},
      {0.00001, "1e-5"},
      {1.5e-7, "1.5e-7"},
      {-123.456, "-123.456"},
      {5e-324, "5e-324"},
      {1.7976931348623157e308, "1.7976931348623157e308"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
  };
  for (const auto& c : cases) EXPECT_EQ(float_debug(c.value), c.text) << c.text;
}

TEST(FloatText, DisplayForm) {
  struct Case {
    double value;
    const char* text;
  };
  const Case cases[] = {
      {3.0, "3"},         {0.1, "0.1"},      {-0.0, "-0"},     {0.25, "0.25"},
      {1e21, "1000000000000000000000"},      {1e-7, "0.0000001"}, {-2.5, "-2.5"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},      {-std::numeric_limits<double>::infinity(), "-inf"},
  };
  for (const auto& c : cases) EXPECT_EQ(float_display(c.value), c.text) << c.text;
}

TEST(FloatText, Float32UsesItsOwnShortestDigits) {
  EXPECT_EQ(float32_debug(0.1f), "0.1");
  EXPECT_EQ(float32_debug(3.0f), "3.0");
  EXPECT_EQ(float32_debug(1e-5f), "1e-5");
  EXPECT_EQ(float32_debug(2.5e16f), "2.5e16");
  EXPECT_EQ(float32_display(2.0f), "2");
  EXPECT_EQ(float32_display(0.5f), "0.5");
}

TEST(FloatText, RandomValuesRoundTrip) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 20000; ++i) {
    double d = std::bit_cast<double>(rng());
    if (!std::isfinite(d)) continue;
    for (const std::string& text : {float_debug(d), float_display(d)}) {
      double back = 0;
      std::from_chars(text.data(), text.data() + text.size(), back);
      EXPECT_EQ(back, d) << text;
    }
  }
}

}  // namespace
}  // namespace zudizid::common
