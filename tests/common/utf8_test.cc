#include "common/utf8.h"

#include <gtest/gtest.h>

namespace zudizid::common {
namespace {

TEST(Utf8, ValidatesAndLocatesFaults) {
  struct Case {
    std::string input;
    const char* message;  // nullptr: valid
  };
  const Case cases[] = {
      {"", nullptr},
      {"plain ascii", nullptr},
      {"\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", nullptr},
      {"ab\xFF", "invalid utf-8 sequence of 1 bytes from index 2"},
      {"\xC0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},           // overlong lead
      {"\xE0\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},       // overlong 3-byte
      {"\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},       // surrogate
      {"\xF4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},   // above U+10FFFF
      {"x\xE2\x82z", "invalid utf-8 sequence of 2 bytes from index 1"},
      {"x\xF0\x9F\x98z", "invalid utf-8 sequence of 3 bytes from index 1"},
      {"x\xE2\x82", "incomplete utf-8 byte sequence from index 1"},
      {"\xF0", "incomplete utf-8 byte sequence from index 0"},
      {"\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
  };
  for (const auto& c : cases) {
    auto err = validate_utf8(c.input);
    if (!c.message) {
      EXPECT_FALSE(err) << c.input;
    } else {
      ASSERT_TRUE(err) << c.input;
      EXPECT_EQ(err->message(), c.message);
    }
  }
}

TEST(Utf8, AppendEncodesEveryWidth) {
  std::string out;
  for (char32_t cp : {U'A', U'\u00E9', U'\u20AC', U'\U0001F600'}) append_utf8(out, cp);
  EXPECT_EQ(out, "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
  EXPECT_TRUE(is_valid_utf8(out));
}

}  // namespace
}  // namespace zudizid::common
