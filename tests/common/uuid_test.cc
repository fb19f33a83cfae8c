#include "common/uuid.h"

#include <gtest/gtest.h>

#include <set>

namespace zudizid::common {
namespace {

constexpr const char* kCanonical = "00112233-4455-6677-8899-aabbccddeeff";

TEST(Uuid, ParsesEveryTextForm) {
  for (const char* text : {"00112233-4455-6677-8899-aabbccddeeff", "00112233-4455-6677-8899-AABBCCDDEEFF",
                           "00112233445566778899aabbccddeeff", "{00112233-4455-6677-8899-aabbccddeeff}",
                           "urn:uuid:00112233-4455-6677-8899-aabbccddeeff"}) {
    auto id = Uuid::parse(text);
    ASSERT_TRUE(id) << text << ": " << id.error();
    EXPECT_EQ(id->to_string(), kCanonical) << text;
    EXPECT_EQ(id->bytes()[0], 0x00);
    EXPECT_EQ(id->bytes()[15], 0xff);
  }
}

TEST(Uuid, RejectsMalformedText) {
  struct Case {
    const char* text;
    const char* error;
  };
  const Case cases[] = {
      {"", "invalid length: expected length 32 for simple format, found 0"},
      {"0011223344556677", "invalid length: expected length 32 for simple format, found 16"},
      {"00112233-4455-6677-8899", "invalid group count: expected 5, found 4"},
      {"0011223-34455-6677-8899-aabbccddeeff", "invalid group length in group 0: expected 8, found 7"},
      {"00112233-4455-6677-8899-aabbccddeef", "invalid group length in group 4: expected 12, found 11"},
      {"0011223g-4455-6677-8899-aabbccddeeff",
       "invalid character: expected an optional prefix of `urn:uuid:` followed by [0-9a-fA-F-], found `g` at 8"},
      {"{00112233445566778899aabbccddeeff}", "invalid group count: expected 5, found 1"},
      {"urn:uuid:0011223\xC3\xA9-4455-6677-8899-aabbccddeeff",
       "invalid character: expected an optional prefix of `urn:uuid:` followed by [0-9a-fA-F-], found `\xC3\xA9` at 17"},
  };
  for (const auto& c : cases) {
    auto id = Uuid::parse(c.text);
    ASSERT_FALSE(id) << c.text;
    EXPECT_EQ(id.error(), c.error);
  }
  uint8_t fifteen[15] = {};
  EXPECT_EQ(Uuid::from_slice(fifteen).error(), "invalid length: expected 16 bytes, found 15");
}

TEST(Uuid, RandomIdsAreVersion4AndDistinct) {
  std::set<Uuid> seen;
  for (int i = 0; i < 1000; ++i) {
    Uuid id = Uuid::new_v4();
    EXPECT_EQ(id.version(), 4);
    EXPECT_EQ(id.bytes()[8] & 0xC0, 0x80);
    EXPECT_EQ(*Uuid::parse(id.to_string()), id);
    seen.insert(id);
  }
  EXPECT_EQ(seen.size(), 1000u);
}

}  // namespace
}  // namespace zudizid::common
