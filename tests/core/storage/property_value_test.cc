#include "storage/property_value.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <set>

#include "tests/support/bytes.h"

namespace zudizid {
namespace {

using PV = PropertyValue;
using testing::hex;

const double kNaN = std::numeric_limits<double>::quiet_NaN();

PV I(int64_t v) { return PV::integer(v); }
PV F(double v) { return PV::float64(v); }
PV S(std::string v) { return PV::string(std::move(v)); }
PV B(PropertyBytes v) { return PV::bytes(std::move(v)); }
PV L(PropertyList v) { return PV::list(std::move(v)); }
PV O(PropertyObject v) { return PV::object(std::move(v)); }

int sign(std::weak_ordering o) { return o < 0 ? -1 : o > 0 ? 1 : 0; }

TEST(PropertyValueOrder, CmpAndEq) {
  struct Case {
    PV a, b;
    int cmp;  // -1, 0, 1
    bool eq;
  };
  const Case cases[] = {
      {I(2), F(2.0), 0, false},
      {I(2), F(2.5), -1, false},
      {I(5), F(kNaN), 0, false},
      {F(kNaN), F(1e308), 1, false},
      {F(kNaN), F(kNaN), 0, false},
      {F(0.0), F(-0.0), 0, true},
      {PV::boolean(true), I(-1000), -1, false},
      {PV::boolean(false), PV::boolean(true), -1, false},
      {PV(), PV::boolean(false), -1, false},
      {F(1e300), S(""), -1, false},
      {S("b"), B({0}), -1, false},
      {L({I(1)}), O({}), -1, false},
      {S("ab"), S("abc"), -1, false},
      {S("abc"), S("b"), -1, false},
      {B({0x7f}), B({0x80}), -1, false},
      {O({{"a", I(2)}}), O({{"a", I(1)}, {"b", I(0)}}), 1, false},
      {O({{"a", I(1)}, {"b", I(2)}}), O({{"b", I(2)}, {"a", I(1)}}), -1, false},
      {L({I(1), I(2)}), L({I(1)}), 1, false},
      {L({I(1), PV()}), L({I(1), PV()}), 0, true},
      {O({{"a", I(1)}, {"a", I(1)}}), O({{"a", I(1)}, {"a", I(1)}}), 0, true},
      {I(INT64_MIN), I(INT64_MAX), -1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.a.debug_string() + " vs " + c.b.debug_string());
    EXPECT_EQ(sign(c.a.cmp(c.b)), c.cmp);
    EXPECT_EQ(sign(c.b.cmp(c.a)), -c.cmp);
    EXPECT_EQ(c.a == c.b, c.eq);
  }
}

TEST(PropertyValueOrder, TotalLessIsAStrictWeakOrderOnMixedNumbers) {
  const double two53 = 9007199254740992.0;
  std::vector<PV> values = {I(9007199254740993), F(two53), I(9007199254740992), F(kNaN), F(-kNaN), I(0),
                            F(-0.0),             F(0.0),   I(INT64_MAX),        F(9223372036854775808.0),
                            I(INT64_MIN),        F(-9223372036854775808.0),     F(-1e300), F(0.5),
                            S("x"),              PV(),     L({F(kNaN)}),        L({I(3)})};
  // Exact values: 2^53 < 2^53+1; INT64_MAX < 2^63.
  EXPECT_TRUE(PV::total_less(F(two53), I(9007199254740993)));
  EXPECT_TRUE(PV::total_less(I(INT64_MAX), F(9223372036854775808.0)));
  EXPECT_FALSE(PV::total_less(I(INT64_MIN), F(-9223372036854775808.0)));
  EXPECT_FALSE(PV::total_less(F(-9223372036854775808.0), I(INT64_MIN)));
  EXPECT_TRUE(PV::total_less(I(INT64_MAX), F(kNaN)));
  // Irreflexive, transitive, and incomparability transitive, over every triple.
  auto lt = PV::total_less;
  for (const auto& a : values) {
    EXPECT_FALSE(lt(a, a));
    for (const auto& b : values)
      for (const auto& c : values) {
        if (lt(a, b) && lt(b, c)) {
          EXPECT_TRUE(lt(a, c)) << a.debug_string() << b.debug_string() << c.debug_string();
        }
        bool ab = !lt(a, b) && !lt(b, a), bc = !lt(b, c) && !lt(c, b);
        if (ab && bc) {
          EXPECT_TRUE(!lt(a, c) && !lt(c, a));
        }
      }
  }
  // Agrees with cmp where cmp is well defined.
  EXPECT_TRUE(lt(I(2), F(2.5)));
  EXPECT_TRUE(lt(PV::boolean(true), I(-5)));
  EXPECT_TRUE(lt(L({}), O({})));
  std::sort(values.begin(), values.end(), PropertyValueLess());
  EXPECT_TRUE(std::is_sorted(values.begin(), values.end(), PropertyValueLess()));
}

struct StreamCollector final : HashSink {
  std::vector<uint8_t> bytes;
  void write(const void* data, size_t len) override {
    auto p = static_cast<const uint8_t*>(data);
    bytes.insert(bytes.end(), p, p + len);
  }
};

TEST(PropertyValueHash, StreamLayout) {
  auto stream = [](const PV& v) {
    StreamCollector c;
    v.hash(c);
    return hex(c.bytes);
  };
  EXPECT_EQ(stream(PV()), "00 00 00 00 00 00 00 00");
  EXPECT_EQ(stream(PV::boolean(true)), "01 00 00 00 00 00 00 00 01");
  EXPECT_EQ(stream(I(-2)), "02 00 00 00 00 00 00 00 fe ff ff ff ff ff ff ff");
  EXPECT_EQ(stream(F(1.0)), "03 00 00 00 00 00 00 00 00 00 00 00 00 00 f0 3f");
  EXPECT_EQ(stream(S("a")), "04 00 00 00 00 00 00 00 61 ff");
  EXPECT_EQ(stream(B({7})), "05 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 07");
  EXPECT_EQ(stream(O({{"k", PV()}})),
            "06 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 6b ff 00 00 00 00 00 00 00 00");
  EXPECT_EQ(stream(L({PV()})), "07 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");
  // Equal values hash alike: -0.0 is canonicalised.
  EXPECT_EQ(stream(F(-0.0)), stream(F(0.0)));
  EXPECT_EQ(F(-0.0).hash_value(), F(0.0).hash_value());
  EXPECT_EQ(L({F(-0.0)}).hash_value(), L({F(0.0)}).hash_value());
  EXPECT_NE(S("ab").hash_value(), S("ba").hash_value());
}

TEST(PropertyValueDebug, Texts) {
  EXPECT_EQ(PV().debug_string(), "Null");
  EXPECT_EQ(PV::boolean(true).debug_string(), "Bool(true)");
  EXPECT_EQ(I(-3).debug_string(), "Int(-3)");
  EXPECT_EQ(F(1.5).debug_string(), "Float(1.5)");
  EXPECT_EQ(F(2.0).debug_string(), "Float(2.0)");
  EXPECT_EQ(S("a\"b\n").debug_string(), "String(\"a\\\"b\\n\")");
  EXPECT_EQ(B({1, 2}).debug_string(), "Bytes([1, 2])");
  EXPECT_EQ(B({}).debug_string(), "Bytes([])");
  EXPECT_EQ(O({{"a", I(1)}}).debug_string(), "Object([(\"a\", Int(1))])");
  EXPECT_EQ(L({I(1), PV()}).debug_string(), "List([Int(1), Null])");
  EXPECT_EQ(L({I(1), PV()}).debug_string(true),
            "List(\n    [\n        Int(\n            1,\n        ),\n        Null,\n    ],\n)");
  EXPECT_EQ(O({{"a", PV()}}).debug_string(true),
            "Object(\n    [\n        (\n            \"a\",\n            Null,\n        ),\n    ],\n)");
}

std::string msgpack_hex(const PV& v) {
  std::vector<uint8_t> out;
  common::msgpack::Writer w(out);
  v.to_msgpack(w);
  return hex(out);
}

std::expected<PV, std::string> from_msgpack_bytes(const std::vector<uint8_t>& in) {
  common::msgpack::Reader r(in);
  auto value = r.read_value();
  if (!value) return std::unexpected(value.error().message);
  return PV::from_msgpack(*value);
}

TEST(PropertyValueMsgpack, Bytes) {
  struct Case {
    PV value;
    const char* bytes;
  };
  const Case cases[] = {
      {PV(), "c0"},
      {PV::boolean(false), "c2"},
      {PV::boolean(true), "c3"},
      {I(127), "7f"},
      {I(128), "cc 80"},
      {I(-33), "d0 df"},
      {I(4294967296), "cf 00 00 00 01 00 00 00 00"},
      {I(-1), "ff"},
      {F(1.0), "cb 3f f0 00 00 00 00 00 00"},
      {S("hi"), "a2 68 69"},
      {B({1, 200}), "92 01 cc c8"},
      {O({{"k", I(1)}}), "91 92 a1 6b 01"},
      {L({PV(), S("x")}), "92 c0 a1 78"},
  };
  for (const auto& c : cases) EXPECT_EQ(msgpack_hex(c.value), c.bytes) << c.value.debug_string();
}

TEST(PropertyValueMsgpack, UntaggedDecoding) {
  struct Case {
    std::vector<uint8_t> input;
    const char* result;  // debug text, or the error
  };
  const char* kMismatch = "data did not match any variant of untagged enum PropertyValue";
  const Case cases[] = {
      {{0xd0, 0x05}, "Int(5)"},
      {{0xcf, 0x7f, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, "Int(9223372036854775807)"},
      {{0xcf, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff}, "Float(1.8446744073709552e19)"},
      {{0xca, 0x3f, 0xc0, 0x00, 0x00}, "Float(1.5)"},
      {{0xc4, 0x02, 'h', 'i'}, "String(\"hi\")"},
      {{0xc4, 0x01, 0xff}, kMismatch},
      {{0xa1, 0xff}, kMismatch},
      {{0x92, 0x01, 0x02}, "Bytes([1, 2])"},
      {{0x92, 0xd0, 0x01, 0xcd, 0x00, 0x02}, "Bytes([1, 2])"},
      {{0x90}, "Bytes([])"},
      {{0x91, 0x92, 0xa1, 'k', 0x01}, "Object([(\"k\", Int(1))])"},
      {{0x91, 0x92, 0xc4, 0x01, 'k', 0x01}, "Object([(\"k\", Int(1))])"},
      {{0x92, 0x01, 0xcd, 0x01, 0x00}, "List([Int(1), Int(256)])"},
      {{0x92, 0x01, 0xc0}, "List([Int(1), Null])"},
      {{0x91, 0x93, 0xa1, 'k', 0x01, 0x02}, "List([List([String(\"k\"), Int(1), Int(2)])])"},
      {{0x91, 0x92, 0x01, 0x02}, "List([Bytes([1, 2])])"},
      {{0x80}, kMismatch},
      {{0x91, 0x80}, kMismatch},
      {{0x91, 0x92, 0xa1, 'k', 0x80}, kMismatch},
      {{0xd4, 0x01, 0x00}, kMismatch},
  };
  for (const auto& c : cases) {
    auto v = from_msgpack_bytes(c.input);
    EXPECT_EQ(v ? v->debug_string() : v.error(), c.result) << hex(c.input);
  }
}

TEST(PropertyValueJson, WriteAndRead) {
  struct Case {
    PV value;
    const char* json;
    const char* read_back;  // debug text of what reading the JSON gives
  };
  const Case cases[] = {
      {PV(), "null", "Null"},
      {PV::boolean(true), "true", "Bool(true)"},
      {I(-7), "-7", "Int(-7)"},
      {F(2.0), "2.0", "Float(2.0)"},
      {F(0.1), "0.1", "Float(0.1)"},
      {F(1e16), "1e16", "Float(1e16)"},
      {F(kNaN), "null", "Null"},
      {F(-INFINITY), "null", "Null"},
      {S("a\"\\\b\t\n\f\r\x01\xC3\xA9"), R"("a\"\\\b\t\n\f\r\u0001)" "\xC3\xA9\"",
       "String(\"a\\\"\\\\\\u{8}\\t\\n\\u{c}\\r\\u{1}\xC3\xA9\")"},
      {B({1, 2, 3}), "[1,2,3]", "Bytes([1, 2, 3])"},
      {O({{"k", I(1)}}), R"([["k",1]])", "Object([(\"k\", Int(1))])"},
      {L({I(1), I(2)}), "[1,2]", "Bytes([1, 2])"},
      {L({}), "[]", "Bytes([])"},
      {O({}), "[]", "Bytes([])"},
      {L({L({S("k"), I(1)})}), R"([["k",1]])", "Object([(\"k\", Int(1))])"},
      {L({I(300), F(1.5)}), "[300,1.5]", "List([Int(300), Float(1.5)])"},
  };
  for (const auto& c : cases) {
    std::string out;
    c.value.to_json(out);
    EXPECT_EQ(out, c.json) << c.value.debug_string();
    auto parsed = common::json::parse(out);
    ASSERT_TRUE(parsed);
    auto back = PV::from_json(*parsed);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->debug_string(), c.read_back);
  }
  EXPECT_EQ(PV::from_json(*common::json::parse("18446744073709551615"))->debug_string(),
            "Float(1.8446744073709552e19)");
  EXPECT_EQ(PV::from_json(*common::json::parse(R"({"a":1})")).error(),
            "data did not match any variant of untagged enum PropertyValue");
  EXPECT_EQ(PV::from_json(*common::json::parse(R"([1,{"a":1}])")).error(),
            "data did not match any variant of untagged enum PropertyValue");
}

PV nest(size_t lists) {
  PV v = I(1);
  for (size_t k = 0; k < lists; ++k) v = L({std::move(v)});
  return v;
}

TEST(PropertyValueWriteChecks, NestingAndNonFiniteFloats) {
  EXPECT_TRUE(nest(64).validate_for_write());
  EXPECT_EQ(nest(65).validate_for_write().error(), "value nested more than 64 levels deep");
  PV objects = I(1);
  for (int k = 0; k < 33; ++k) objects = O({{"k", std::move(objects)}});
  EXPECT_EQ(objects.encoded_depth(), 66u);
  EXPECT_FALSE(objects.validate_for_write());
  EXPECT_TRUE(F(1.5).validate_for_wal());
  EXPECT_TRUE(F(kNaN).validate_for_write());
  EXPECT_EQ(L({I(1), O({{"x", F(kNaN)}})}).validate_for_wal().error(), "non-finite float NaN cannot be logged");
  EXPECT_EQ(F(-INFINITY).validate_for_wal().error(), "non-finite float -inf cannot be logged");
  // The deepest value accepted for writing reads back through the JSON reader.
  std::string json;
  nest(64).to_json(json);
  EXPECT_TRUE(common::json::parse(json));
}

TEST(PropertyValueClone, IsDeep) {
  PV a = L({S("x"), O({{"k", B({1})}})});
  PV b = a.clone();
  b.as_list()[1].as_object()[0].second = I(5);
  EXPECT_EQ(a.debug_string(), "List([String(\"x\"), Object([(\"k\", Bytes([1]))])])");
  EXPECT_NE(a, b);
}

}  // namespace
}  // namespace zudizid
