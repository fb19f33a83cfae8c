// Documents: the compact node buffer, the stored-document codec and the
// pre-tokenized string JSON.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "fulltext/schema/document/compact_doc.h"
#include "fulltext/tokenizer/tokenized_string.h"

namespace fendral::schema {
namespace {

using Bytes = std::vector<uint8_t>;
using tokenizer::PreTokenizedString;
using tokenizer::Token;

Schema stored_schema(size_t n, std::vector<size_t> unstored = {}) {
  SchemaBuilder b;
  for (size_t i = 0; i < n; ++i) {
    FacetOptions o{std::find(unstored.begin(), unstored.end(), i) == unstored.end()};
    b.add_field(FieldEntry{"f" + std::to_string(i), FieldType::facet(o)});
  }
  return b.build();
}

PreTokenizedString hi() { return PreTokenizedString{"hi", {Token{0, 2, 0, "hi", 1}}}; }

TEST(StoredDocument, PinnedExampleRoundTrips) {
  CompactDoc doc;
  ASSERT_TRUE(doc.add_field_value(1, OwnedValue("hi")).has_value());
  ASSERT_TRUE(doc.add_field_value(2, OwnedValue(true)).has_value());
  Bytes out;
  ASSERT_TRUE(serialize_doc(doc, stored_schema(3), out).has_value());
  EXPECT_EQ(out, (Bytes{0x82, 1, 0, 0, 0, 0, 0x82, 0x68, 0x69, 2, 0, 0, 0, 9, 1}));
  auto back = deserialize_doc(out, 2);
  ASSERT_TRUE(back.has_value());
  auto values = back->field_values().value();
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[0], (std::pair<Field, OwnedValue>{1, OwnedValue("hi")}));
  EXPECT_EQ(values[1], (std::pair<Field, OwnedValue>{2, OwnedValue(true)}));

  CompactDoc none;
  ASSERT_TRUE(none.add_field_value(0, OwnedValue("skipped")).has_value());
  ASSERT_TRUE(none.add_field_value(1, OwnedValue()).has_value());
  Bytes only_null;
  ASSERT_TRUE(serialize_doc(none, stored_schema(2, {0}), only_null).has_value());
  EXPECT_EQ(only_null, (Bytes{0x81, 1, 0, 0, 0, 11}));
  Bytes empty;
  ASSERT_TRUE(serialize_doc(CompactDoc(), stored_schema(1), empty).has_value());
  EXPECT_EQ(empty, (Bytes{0x80}));
  EXPECT_FALSE(CompactDoc().add_field_value(65536, OwnedValue()).has_value());
}

TEST(StoredDocument, EveryValueKindRoundTrips) {
  IpValue ip{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0x7F, 0, 0, 1};
  OwnedValue nested(OwnedArray{OwnedValue(hi()), OwnedValue(OwnedObject{{"k", OwnedValue(int64_t{-3})}}),
                               OwnedValue(OwnedArray{}), OwnedValue(OwnedObject{})});
  std::vector<OwnedValue> values = {
      OwnedValue(), OwnedValue("text é"), OwnedValue(uint64_t{1} << 63), OwnedValue(int64_t{-7}),
      OwnedValue(-0.0), OwnedValue(0.0), OwnedValue(INFINITY), OwnedValue(-INFINITY), OwnedValue(NAN),
      OwnedValue(false), OwnedValue(DateValue{-1500}), OwnedValue(FacetValue{std::string("a\0b", 3)}),
      OwnedValue(BytesValue{{0, 1, 255}}), OwnedValue(ip), nested,
  };
  CompactDoc doc;
  for (size_t i = 0; i < values.size(); ++i) ASSERT_TRUE(doc.add_field_value(static_cast<Field>(i), values[i]).has_value());
  EXPECT_EQ(doc.field_values().value().size(), values.size());
  for (size_t i = 0; i < values.size(); ++i) EXPECT_EQ(doc.entry_value(i).value(), values[i]) << i;
  Bytes out;
  ASSERT_TRUE(serialize_doc(doc, stored_schema(values.size()), out).has_value());
  auto back = deserialize_doc(out, 2).value();
  for (size_t i = 0; i < values.size(); ++i) EXPECT_EQ(back.entry_value(i).value(), values[i]) << i;

  // The address 127.0.0.1 as ::ffff:7f00:1 is stored with its octets reversed.
  Bytes ip_bytes;
  ASSERT_TRUE(serialize_value(OwnedValue(ip), ip_bytes).has_value());
  Bytes expected_ip{10, 1, 0, 0, 0x7F, 0xFF, 0xFF};
  expected_ip.insert(expected_ip.end(), 10, 0);
  EXPECT_EQ(ip_bytes, expected_ip);
  Bytes date0;
  ASSERT_TRUE(serialize_value(OwnedValue(DateValue{0}), date0).has_value());
  EXPECT_EQ(date0, (Bytes{5, 0, 0, 0, 0, 0, 0, 0, 0}));
  Bytes empties;
  ASSERT_TRUE(serialize_value(OwnedValue(OwnedArray{}), empties).has_value());
  ASSERT_TRUE(serialize_value(OwnedValue(OwnedObject{}), empties).has_value());
  EXPECT_EQ(empties, (Bytes{12, 0x80, 13, 0x80}));
  std::vector<uint64_t> images;
  for (double d : std::vector<double>{-INFINITY, -2.0, -0.0, 0.0, 1e-300, 3.5, INFINITY}) {
    Bytes b;
    ASSERT_TRUE(serialize_value(OwnedValue(d), b).has_value());
    uint64_t u;
    std::memcpy(&u, b.data() + 1, 8);
    images.push_back(u);
  }
  EXPECT_TRUE(std::is_sorted(images.begin(), images.end()));
}

TEST(StoredDocument, PreTokenizedValuesKeepTokensOnlyInsideContainers) {
  CompactDoc doc;
  ASSERT_TRUE(doc.add_field_value(0, OwnedValue(hi())).has_value());
  ASSERT_TRUE(doc.add_field_value(0, OwnedValue(OwnedArray{OwnedValue(hi())})).has_value());
  Bytes out;
  ASSERT_TRUE(serialize_doc(doc, stored_schema(1), out).has_value());
  auto back = deserialize_doc(out, 2).value().field_values().value();
  EXPECT_EQ(back[0].second, OwnedValue("hi"));
  EXPECT_EQ(back[1].second, OwnedValue(OwnedArray{OwnedValue(hi())}));
}

TEST(StoredDocument, CorruptInputIsAnError) {
  auto err = [](Bytes b) {
    auto r = deserialize_doc(b, 2);
    EXPECT_FALSE(r.has_value());
    return r ? std::string() : r.error().display();
  };
  EXPECT_EQ(err({0x81, 0, 0, 0, 0, 9, 2}),
            "The value could not be read: invalid bool value on deserialization, data corrupted");
  EXPECT_EQ(err({0x81, 0, 0, 0, 0, 14}), "The value could not be read: No field type is associated with code 14");
  EXPECT_EQ(err({0x81, 0, 0, 0, 0, 7, 1}),
            "The value could not be read: No extended field type is associated with code 1");
  EXPECT_EQ(err({0x81, 0, 0, 0, 0, 13, 0x82, 2, 0, 0, 0, 0, 0, 0, 0, 0, 11}), "Type Mismatch: Expected String but found I64");
  // A String, Facet or Bytes whose length runs past the end is corrupt.
  EXPECT_EQ(err({0x81, 0, 0, 0, 0, 0, 0x85, 'a', 'b'}), "The value could not be read: failed to fill whole buffer");
  EXPECT_EQ(err({0x81, 0, 0, 0, 0, 3, 0x85, 'a', 'b'}), "The value could not be read: failed to fill whole buffer");
  EXPECT_EQ(err({0x81, 0, 0, 0, 0, 4, 0x85, 'a'}), "The value could not be read: failed to fill whole buffer");
  EXPECT_EQ(err({0x82, 0, 0, 0, 0, 11}), "The value could not be read: failed to fill whole buffer");
  EXPECT_EQ(err({0x81, 0, 0, 0, 0, 0, 0x81, 0xFF}), "The value could not be read: stream did not contain valid UTF-8");
  EXPECT_NE(err({0x81, 0, 0, 0, 0, 13, 0x81}).find("Deserializer should not be empty"), std::string::npos);
  // A huge announced count does not allocate; it runs out of bytes.
  EXPECT_EQ(err({0x81, 0, 0, 0, 0, 12, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x7F, 0x81}),
            "The value could not be read: failed to fill whole buffer");
  // Deep nesting is refused instead of exhausting the stack.
  Bytes deep{0x81, 0, 0, 0, 0};
  for (int i = 0; i < 100000; ++i) {
    deep.push_back(12);
    deep.push_back(0x81);
  }
  EXPECT_NE(err(deep).find("nested too deeply"), std::string::npos);
}

TEST(StoredDocument, StoreVersionOneDatesAreMicroseconds) {
  Bytes b{0x81, 0, 0, 0, 0, 5, 5, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(deserialize_doc(b, 1).value().entry_value(0).value(), OwnedValue(DateValue{5000}));
  EXPECT_EQ(deserialize_doc(b, 2).value().entry_value(0).value(), OwnedValue(DateValue{5}));
}

TEST(StoredDocument, LegacyJsonObjects) {
  std::string json = R"({"b": 1, "a": "2024-01-01T00:00:00Z", "c": -1, "d": 18446744073709551615})";
  Bytes b{0x82, 0, 0, 0, 0, 8};
  b.insert(b.end(), json.begin(), json.end());
  Bytes tail{1, 0, 0, 0, 9, 1};  // a second value follows the object directly
  b.insert(b.end(), tail.begin(), tail.end());
  auto doc = deserialize_doc(b, 2);
  ASSERT_TRUE(doc.has_value()) << doc.error().display();
  OwnedValue expected(OwnedObject{{"a", OwnedValue(DateValue{1704067200000000000})},
                                  {"b", OwnedValue(int64_t{1})},
                                  {"c", OwnedValue(int64_t{-1})},
                                  {"d", OwnedValue(uint64_t{18446744073709551615ull})}});
  EXPECT_EQ(doc->entry_value(0).value(), expected);
  EXPECT_EQ(doc->entry_value(1).value(), OwnedValue(true));
  Bytes bad{0x81, 0, 0, 0, 0, 8, '{', '"', 'a'};
  auto r = deserialize_doc(bad, 2);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().kind, DeserializeError::Kind::Custom);
}

TEST(PreTokenizedString, JsonForms) {
  std::string line = hi().to_json();
  EXPECT_EQ(line,
            R"({"text":"hi","tokens":[{"offset_from":0,"offset_to":2,"position":0,"text":"hi","position_length":1}]})");
  EXPECT_EQ(line.size(), 101u);
  PreTokenizedString escapes{"q\"b\\t\tu\x01 é", {}};
  EXPECT_EQ(escapes.to_json(), "{\"text\":\"q\\\"b\\\\t\\tu\\u0001 é\",\"tokens\":[]}");
  EXPECT_EQ(PreTokenizedString::from_json(escapes.to_json()), escapes);
  EXPECT_EQ(PreTokenizedString::from_json(line), hi());

  auto reordered = PreTokenizedString::from_json(
      R"( { "tokens" : [ {"text":"hi","position_length":1,"position":0,"offset_to":2,"offset_from":0,"x":[]} ], "other": 1, "text" : "hi" } )");
  EXPECT_EQ(reordered, hi());
  EXPECT_EQ(PreTokenizedString::from_json(R"(["hi",[[0,2,0,"hi",1]]])"), hi());
  for (const char* bad : {R"({"text":"hi","tokens":[{"offset_from":0,"offset_to":2,"position":0,"text":"hi"}]})",
                          R"({"text":"hi","tokens":[{"offset_from":-1,"offset_to":2,"position":0,"text":"hi","position_length":1}]})",
                          R"({"text":"hi","tokens":[{"offset_from":0,"offset_to":2,"position":1.0,"text":"hi","position_length":1}]})",
                          R"({"text":"hi","tokens":[]} x)", R"(["hi"])", R"({"text":"a","text":"b","tokens":[]})",
                          R"({"text":"hi","tokens":{}})", R"({"text":"hi","tokens":[[0,2,0,"hi",1],]})"}) {
    EXPECT_FALSE(PreTokenizedString::from_json(bad).has_value()) << bad;
  }

  tokenizer::PreTokenizedStream empty(PreTokenizedString{"x", {}});
  EXPECT_FALSE(empty.advance());
  tokenizer::PreTokenizedStream fresh(hi());
  EXPECT_THROW(fresh.token(), ContractViolation);
  ASSERT_NE(fresh.next(), nullptr);
  EXPECT_EQ(fresh.token().text, "hi");
  EXPECT_EQ(fresh.next(), nullptr);
}

}  // namespace
}  // namespace fendral::schema
