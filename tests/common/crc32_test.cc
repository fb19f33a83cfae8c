#include "common/crc32.h"

#include <gtest/gtest.h>

namespace zudizid::common {
namespace {

TEST(Crc32, KnownVectors) {
  struct Case {
    std::string_view input;
    uint32_t crc;
  };
  // Values from Python's zlib.crc32.
  const Case cases[] = {
      {"", 0x00000000u},
      {"a", 0xE8B7BE43u},
      {"123456789", 0xCBF43926u},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
  };
  for (const auto& c : cases) EXPECT_EQ(crc32(c.input), c.crc) << c.input;
}

TEST(Crc32, ContinuesAcrossPieces) {
  uint32_t whole = crc32(std::string_view("123456789"));
  uint32_t part = crc32(0, "1234", 4);
  part = crc32(part, "56789", 5);
  EXPECT_EQ(part, whole);
}

}  // namespace
}  // namespace zudizid::common
