#include "common/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace zudizid::common::json {
namespace {

std::string error_of(std::string_view text, ParseOptions opts = {}) {
  auto v = parse(text, opts);
  if (v) return "ok";
  return v.error().to_string();
}

TEST(JsonReader, SyntaxErrorsWithPositions) {
  struct Case {
    std::string text;
    const char* error;
  };
  const Case cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"   \n  ", "EOF while parsing a value at line 2 column 2"},
      {"[1,2", "EOF while parsing a list at line 1 column 4"},
      {"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
      {"\"abc", "EOF while parsing a string at line 1 column 4"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"tru", "EOF while parsing a value at line 1 column 3"},
      {"trux", "expected ident at line 1 column 4"},
      {"nul1", "expected ident at line 1 column 4"},
      {"x", "expected value at line 1 column 1"},
      {"[1,\n x]", "expected value at line 2 column 2"},
      {"\"\\q\"", "invalid escape at line 1 column 3"},
      {"\"\\u12G4\"", "invalid escape at line 1 column 6"},
      {"01", "invalid number at line 1 column 2"},
      {"-", "invalid number at line 1 column 1"},
      {"-a", "invalid number at line 1 column 2"},
      {"1.", "invalid number at line 1 column 2"},
      {"1.e5", "invalid number at line 1 column 3"},
      {"1e", "invalid number at line 1 column 2"},
      {"1e+", "invalid number at line 1 column 3"},
      {"1e400", "number out of range at line 1 column 5"},
      {"-1e400", "number out of range at line 1 column 6"},
      {"\"a\xFF\"", "invalid unicode code point at line 1 column 3"},
      {"\"a\x01\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"\"\\uDC00\"", "lone leading surrogate in hex escape at line 1 column 7"},
      {"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
      {"\"\\uD800\\n\"", "lone leading surrogate in hex escape at line 1 column 9"},
      {"\"\\uD800x\"", "unexpected end of hex escape at line 1 column 8"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"{\"a\":1,}", "trailing comma at line 1 column 8"},
      {"1 2", "trailing characters at line 1 column 3"},
      {"\f1", "expected value at line 1 column 1"},
  };
  for (const auto& c : cases) EXPECT_EQ(error_of(c.text), c.error) << c.text;
}

TEST(JsonReader, NumbersAreClassedAsWritten) {
  struct Case {
    const char* text;
    Value value;
  };
  const Case cases[] = {
      {"0", Value(uint64_t{0})},
      {"18446744073709551615", Value(UINT64_MAX)},
      {"18446744073709551616", Value(1.8446744073709552e19)},
      {"-1", Value(int64_t{-1})},
      {"-9223372036854775808", Value(INT64_MIN)},
      {"-9223372036854775809", Value(-9223372036854775809.0)},
      {"-0", Value(-0.0)},
      {"1.0", Value(1.0)},
      {"2e3", Value(2000.0)},
      {"1e-400", Value(0.0)},
      {"-1E-400", Value(-0.0)},
  };
  for (const auto& c : cases) {
    auto v = parse(c.text);
    ASSERT_TRUE(v) << c.text;
    EXPECT_EQ(v->type(), c.value.type()) << c.text;
    EXPECT_EQ(*v, c.value) << c.text;
  }
  EXPECT_TRUE(std::signbit(parse("-0")->as_float()));
}

TEST(JsonReader, StringsUnescape) {
  auto v = parse(R"("a\"\\\/\b\f\n\r\t\u00e9\uD83D\uDE00")");
  ASSERT_TRUE(v);
  EXPECT_EQ(v->as_string(), "a\"\\/\b\f\n\r\t\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(parse("\"caf\xC3\xA9\"")->as_string(), "caf\xC3\xA9");
}

TEST(JsonReader, NestingBudget) {
  auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
  EXPECT_EQ(error_of(nested(127)), "ok");
  EXPECT_EQ(error_of(nested(128)), "recursion limit exceeded at line 1 column 128");
  EXPECT_EQ(error_of(nested(600), {.depth_budget = 1024}), "ok");
}

TEST(JsonReader, ObjectsKeepOrderAndDuplicates) {
  auto v = parse(R"({"b":1,"a":2,"b":3})");
  ASSERT_TRUE(v);
  const auto& o = v->as_object();
  ASSERT_EQ(o.size(), 2u);
  EXPECT_EQ(o[0].first, "b");
  EXPECT_EQ(o[0].second, Value(3));
  EXPECT_EQ(o[1].first, "a");
  EXPECT_EQ(error_of(R"({"b":1,"a":2,"b":3})", {.reject_duplicate_keys = true}),
            "duplicate field `b` at line 1 column 18");
  // The hashed path for large objects.
  std::string big = "{";
  for (int i = 0; i < 40; ++i) big += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
  big += "\"k7\":0}";
  EXPECT_EQ(parse(big)->find("k7")->as_uint(), 0u);
  EXPECT_EQ(parse(big)->as_object().size(), 40u);
  EXPECT_NE(error_of(big, {.reject_duplicate_keys = true}).find("duplicate field `k7`"), std::string::npos);
}

TEST(JsonWriter, CompactAndPretty) {
  Value v = Value::object();
  v.set("name", "a\"b\\\n\x01\xC3\xA9");
  v.set("n", -3);
  v.set("f", 2.0);
  v.set("nan", NAN);
  v.set("list", Value(Value::Array{Value(1), Value(true), Value(), Value::array(), Value::object()}));
  EXPECT_EQ(to_string(v),
            R"({"name":"a\"b\\\n\u0001)" "\xC3\xA9" R"(","n":-3,"f":2.0,"nan":null,"list":[1,true,null,[],{}]})");
  EXPECT_EQ(to_string_pretty(v),
            "{\n  \"name\": \"a\\\"b\\\\\\n\\u0001\xC3\xA9\",\n  \"n\": -3,\n  \"f\": 2.0,\n  \"nan\": null,\n"
            "  \"list\": [\n    1,\n    true,\n    null,\n    [],\n    {}\n  ]\n}");
  // What the writer writes, the reader reads back (NaN aside).
  v.set("nan", nullptr);
  EXPECT_EQ(*parse(to_string(v)), v);
  EXPECT_EQ(*parse(to_string_pretty(v)), v);
}

}  // namespace
}  // namespace zudizid::common::json
