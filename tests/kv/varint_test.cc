#include "kv/serialization/varint.h"

#include <gtest/gtest.h>

namespace kelm::serialization {
namespace {

TEST(Varint, FormBoundaries) {
  struct Case {
    uint64_t value;
    std::vector<uint8_t> bytes;
  };
  const Case cases[] = {
      {0, {0x00}},
      {240, {0xF0}},
      {241, {0xF1, 0x01}},
      {2287, {0xF8, 0xFF}},
      {2288, {0xF9, 0x00, 0x00}},
      {67823, {0xF9, 0xFF, 0xFF}},
      {67824, {0xFA, 0xF0, 0x08, 0x01}},
      {(1ull << 24) - 1, {0xFA, 0xFF, 0xFF, 0xFF}},
      {1ull << 24, {0xFB, 0x00, 0x00, 0x00, 0x01}},
      {(1ull << 32), {0xFC, 0x00, 0x00, 0x00, 0x00, 0x01}},
      {(1ull << 56), {0xFF, 0, 0, 0, 0, 0, 0, 0, 0x01}},
      {UINT64_MAX, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> out;
    append_varint(c.value, out);
    EXPECT_EQ(out, c.bytes) << c.value;
    EXPECT_EQ(varint_size(c.value), c.bytes.size()) << c.value;
    auto back = read_varint(out);
    ASSERT_TRUE(back) << c.value;
    EXPECT_EQ(back->value, c.value);
    EXPECT_EQ(back->size, c.bytes.size());
    EXPECT_FALSE(read_varint(std::span(out).first(out.size() - 1))) << "truncated " << c.value;
  }
}

}  // namespace
}  // namespace kelm::serialization
