#include "storage/node.h"

#include <gtest/gtest.h>

#include <cmath>

#include "tests/support/bytes.h"

namespace zudizid {
namespace {

using testing::hex;
using testing::unhex;
namespace mp = common::msgpack;
namespace js = common::json;

const std::string kId1 = "c4 10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01";
const std::string kLabelA = "a1 41";
const std::string kClass = "a5 43 6c 61 73 73";  // "Class"

Node sample_node() {
  Node n;
  n.id = *Uuid::parse("00000000-0000-0000-0000-000000000001");
  n.label = "A";
  n.kind = NodeKind::Class;
  return n;
}

std::string read_node(const std::string& hex_text, Node* out = nullptr) {
  auto bytes = unhex(hex_text);
  mp::Reader r(bytes);
  auto node = Node::from_msgpack(r);
  if (!node) return node.error().message;
  if (out) *out = *node;
  return "ok";
}

std::string read_edge(const std::string& hex_text) {
  auto bytes = unhex(hex_text);
  mp::Reader r(bytes);
  auto edge = Edge::from_msgpack(r);
  return edge ? "ok" : edge.error().message;
}

TEST(NodeMsgpack, ExampleBytes) {
  auto bytes = sample_node().to_msgpack();
  ASSERT_TRUE(bytes);
  EXPECT_EQ(hex(*bytes), "94 " + kId1 + " " + kLabelA + " 80 " + kClass);
  Node back;
  ASSERT_EQ(read_node(hex(*bytes), &back), "ok");
  EXPECT_EQ(back, sample_node());

  Node individual = sample_node();
  individual.kind = NodeKind::Individual;
  EXPECT_EQ(hex(*individual.to_msgpack()).substr(hex(*individual.to_msgpack()).size() - 32),
            "aa 49 6e 64 69 76 69 64 75 61 6c");
}

TEST(NodeMsgpack, AcceptedForms) {
  // name hex text: "a2 69 64" = "id", "a5 6c 61 62 65 6c" = "label",
  // "aa 70 72 6f 70 65 72 74 69 65 73" = "properties", "a4 6b 69 6e 64" = "kind".
  const std::string id = "a2 69 64", label = "a5 6c 61 62 65 6c", props = "aa 70 72 6f 70 65 72 74 69 65 73",
                    kind = "a4 6b 69 6e 64";
  struct Case {
    const char* what;
    std::string bytes;
  };
  const Case cases[] = {
      {"map by name, any order", "84 " + kind + " " + kClass + " " + id + " " + kId1 + " " + label + " " + kLabelA +
                                     " " + props + " 80"},
      {"map by position", "84 03 " + kClass + " 00 " + kId1 + " 01 " + kLabelA + " 02 80"},
      {"extra keys skipped", "86 a3 78 79 7a 92 01 02 03 " + kClass + " 00 " + kId1 + " 01 " + kLabelA +
                                 " 02 80 09 c0"},
      {"id as hyphenated text", "94 d9 24 " + hex(std::vector<uint8_t>(
                                                      (const uint8_t*)"00000000-0000-0000-0000-000000000001",
                                                      (const uint8_t*)"00000000-0000-0000-0000-000000000001" + 36)) +
                                    " " + kLabelA + " 80 " + kClass},
      {"id as 16 integers", "94 dc 00 10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 " + kLabelA + " 80 " + kClass},
      {"kind as index", "94 " + kId1 + " " + kLabelA + " 80 01"},
      {"kind as one-entry map", "94 " + kId1 + " " + kLabelA + " 80 81 " + kClass + " c0"},
      {"label as bin", "94 " + kId1 + " c4 01 41 80 " + kClass},
      {"trailing bytes ignored", "94 " + kId1 + " " + kLabelA + " 80 " + kClass + " ff ff"},
  };
  for (const auto& c : cases) {
    Node n;
    ASSERT_EQ(read_node(c.bytes, &n), "ok") << c.what;
    EXPECT_EQ(n, sample_node()) << c.what;
  }
  Node n;
  ASSERT_EQ(read_node("94 " + kId1 + " " + kLabelA + " 80 81 ab 52 65 73 74 72 69 63 74 69 6f 6e c0", &n), "ok");
  EXPECT_EQ(n.kind, NodeKind::Restriction);
}

TEST(NodeMsgpack, ReaderMessages) {
  const std::string tail = kLabelA + " 80 " + kClass;
  struct Case {
    std::string bytes;
    const char* message;
  };
  const Case cases[] = {
      {"93 " + kId1 + " " + kLabelA + " 80", "invalid length 3, expected struct Node with 4 elements"},
      {"90", "invalid length 0, expected struct Node with 4 elements"},
      {"95 " + kId1 + " " + tail + " c0", "array had incorrect length, expected 4"},
      {"83 00 " + kId1 + " 01 " + kLabelA + " 02 80", "missing field `kind`"},
      {"85 00 " + kId1 + " 01 " + kLabelA + " 01 " + kLabelA + " 02 80 03 01", "duplicate field `label`"},
      {"81 d0 00 " + kId1, "invalid type: integer `0`, expected field identifier"},
      {"81 c0 c0", "invalid type: unit value, expected field identifier"},
      {"81 91 00 c0", "invalid type: sequence, expected field identifier"},
      {"94 " + kId1 + " " + kLabelA + " 80 06", "invalid value: integer `6`, expected variant index 0 <= i < 6"},
      {"94 " + kId1 + " " + kLabelA + " 80 a5 63 6c 61 73 73",
       "unknown variant `class`, expected one of `Individual`, `Class`, `ObjectProperty`, `DataProperty`, "
       "`Restriction`, `AnnotationProperty`"},
      {"94 " + kId1 + " " + kLabelA + " 80 91 01", "invalid type: sequence, expected variant identifier"},
      {"94 " + kId1 + " " + kLabelA + " 80 82 01 c0 02 c0", "invalid length 2, expected map with a single key"},
      {"94 " + kId1 + " " + kLabelA + " 80 81 01 02", "invalid type: integer `2`, expected unit"},
      {"c0", "invalid type: unit value, expected struct Node"},
      {"c3", "invalid type: boolean `true`, expected struct Node"},
      {"cb 3f f8 00 00 00 00 00 00", "invalid type: floating point `1.5`, expected struct Node"},
      {"a1 78", "invalid type: string \"x\", expected struct Node"},
      {"a1 ff", "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
      {"d4 01 00", "invalid type: newtype struct, expected struct Node"},
      {"c1", "wrong msgpack marker Reserved"},
      {"c4 00", "invalid length 0, expected struct Node with 4 elements"},
      {"c4 02 05 06", "invalid type: integer `5`, expected a UUID string"},
      {"94 c4 0f 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 " + tail,
       "UUID parsing failed: invalid length: expected 16 bytes, found 15"},
      {"94 a3 61 62 63 " + tail, "UUID parsing failed: invalid length: expected length 32 for simple format, found 3"},
      {"94 93 00 01 02 " + tail, "invalid length 3, expected a UUID string"},
      {"94 dc 00 10 " + std::string(15 * 3, ' ') + "01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f cd 01 00 " + tail,
       "invalid value: integer `256`, expected u8"},
      {"94 c0 " + tail, "invalid type: unit value, expected a UUID string"},
      {"94 " + kId1 + " 01 80 " + kClass, "invalid type: integer `1`, expected a string"},
      {"94 " + kId1 + " c4 01 ff 80 " + kClass, "invalid value: byte array, expected a string"},
      {"94 " + kId1 + " a1 c0 80 " + kClass, "string found to be invalid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
      {"94 " + kId1 + " " + kLabelA + " 90 " + kClass, "invalid type: sequence, expected a map"},
      {"94 " + kId1 + " " + kLabelA + " 81 a1 6b 80 " + kClass,
       "data did not match any variant of untagged enum PropertyValue"},
      {"94 " + kId1 + " " + kLabelA + " 81 01 01 " + kClass, "invalid type: integer `1`, expected a string"},
      {"", "IO error while reading marker: failed to fill whole buffer"},
      {"94 " + kId1 + " " + kLabelA, "IO error while reading marker: failed to fill whole buffer"},
      {"94 " + kId1 + " a5 41", "IO error while reading data: unexpected end of file"},
      {"94 " + kId1 + " d9", "IO error while reading data: failed to fill whole buffer"},
  };
  for (const auto& c : cases) EXPECT_EQ(read_node(c.bytes), c.message) << c.bytes;
}

TEST(NodeMsgpack, PropertiesLastDuplicateWinsAndNestingBudgetHolds) {
  Node n;
  ASSERT_EQ(read_node("94 " + kId1 + " " + kLabelA + " 82 a1 6b 01 a1 6b 02 " + kClass, &n), "ok");
  ASSERT_EQ(n.properties.size(), 1u);
  EXPECT_EQ(n.properties.at("k"), PropertyValue::integer(2));
  // Node array and property map take two levels: 1021 more nested arrays fit, 1022 don't.
  auto deep = [&](size_t arrays) {
    return "94 " + kId1 + " " + kLabelA + " 81 a1 6b " + [&] {
      std::string s;
      for (size_t i = 0; i < arrays; ++i) s += "91 ";
      return s;
    }() + "c0 " + kClass;
  };
  EXPECT_EQ(read_node(deep(1021)), "ok");
  EXPECT_EQ(read_node(deep(1022)), "depth limit exceeded");
}

TEST(EdgeMsgpack, RoundTripAndMessages) {
  Edge e;
  e.id = Uuid::new_v4();
  e.source = Uuid::new_v4();
  e.target = Uuid::new_v4();
  e.edge_type = "KNOWS";
  e.properties["since"] = PropertyValue::integer(2020);
  auto bytes = e.to_msgpack();
  ASSERT_TRUE(bytes);
  EXPECT_EQ(hex(*bytes).substr(0, 8), "95 c4 10");
  mp::Reader r(*bytes);
  auto back = Edge::from_msgpack(r);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, e);
  EXPECT_EQ(read_edge("94 " + kId1 + " " + kId1 + " " + kId1 + " a1 54"),
            "invalid length 4, expected struct Edge with 5 elements");
  EXPECT_EQ(read_edge("96 " + kId1 + " " + kId1 + " " + kId1 + " a1 54 80 c0"), "array had incorrect length, expected 5");
  EXPECT_EQ(read_edge("81 a6 74 61 72 67 65 74 " + kId1), "missing field `id`");
  EXPECT_EQ(read_edge("c2"), "invalid type: boolean `false`, expected struct Edge");
}

TEST(RecordWriteBoundary, DeepPropertiesAreRefused) {
  Node n = sample_node();
  PropertyValue v = PropertyValue::integer(1);
  for (int i = 0; i < 65; ++i) v = PropertyValue::list({std::move(v)});
  n.properties["deep"] = std::move(v);
  auto bytes = n.to_msgpack();
  ASSERT_FALSE(bytes);
  EXPECT_EQ(bytes.error().display(),
            "Serialization error: MessagePack serialize error: property `deep`: value nested more than 64 levels deep");
  PropertyMap nan;
  nan["x"] = PropertyValue::float64(NAN);
  EXPECT_TRUE(validate_properties_for_write(nan));
  EXPECT_EQ(validate_properties_for_wal(nan).error(), "property `x`: non-finite float NaN cannot be logged");
}

// ---------------------------------------------------------------- JSON

std::string node_json(const Node& n) {
  std::string out;
  js::Writer w(out);
  w.begin_object();
  Node::to_json(w, "node", n);
  w.end_object();
  return out;
}

std::string read_node_json(std::string_view text, Node* out = nullptr) {
  js::Reader r(text);
  auto node = Node::from_json(r);
  if (!node) return node.error().to_string();
  if (out) *out = *node;
  return "ok";
}

TEST(NodeJson, WriterForm) {
  Node n = sample_node();
  n.properties["p"] = PropertyValue::float64(2.0);
  EXPECT_EQ(node_json(n),
            R"({"node":{"id":"00000000-0000-0000-0000-000000000001","label":"A","properties":{"p":2.0},"kind":"Class"}})");
  Edge e;
  e.id = *Uuid::parse("00112233-4455-6677-8899-aabbccddeeff");
  e.source = e.id;
  e.target = Uuid();
  e.edge_type = "T";
  std::string out;
  js::Writer w(out);
  w.begin_object();
  Edge::to_json(w, e);
  w.end_object();
  EXPECT_EQ(out, R"({"edge":{"id":"00112233-4455-6677-8899-aabbccddeeff","source":"00112233-4455-6677-8899-aabbccddeeff",)"
                 R"("target":"00000000-0000-0000-0000-000000000000","edge_type":"T","properties":{}}})");
  const std::string member = out.substr(8, out.size() - 9);
  js::Reader r(member);
  auto back = Edge::from_json(r);
  ASSERT_TRUE(back) << back.error().to_string();
  EXPECT_EQ(*back, e);
}

TEST(NodeJson, ReadsBackExceptWhereTheFormIsLossy) {
  Node n = sample_node();
  n.properties["nan"] = PropertyValue::float64(NAN);
  n.properties["small"] = PropertyValue::list({PropertyValue::integer(1), PropertyValue::integer(2)});
  n.properties["s"] = PropertyValue::string("x\"y");
  std::string text = node_json(n);
  Node back;
  ASSERT_EQ(read_node_json(std::string_view(text).substr(8, text.size() - 9), &back), "ok");
  EXPECT_EQ(back.properties.at("nan"), PropertyValue());
  EXPECT_EQ(back.properties.at("small"), PropertyValue::bytes({1, 2}));
  EXPECT_EQ(back.properties.at("s"), PropertyValue::string("x\"y"));
  EXPECT_EQ(back.kind, NodeKind::Class);
}

TEST(NodeJson, AcceptedFormsAndMessages) {
  const std::string id = "\"00000000-0000-0000-0000-000000000001\"";
  struct Case {
    std::string text;
    const char* result;
  };
  const Case cases[] = {
      {R"({"kind":"Class","label":"A","extra":[1,{"x":null}],"properties":{},"id":)" + id + "}", "ok"},
      {"[" + id + R"(,"A",{},"Class"])", "ok"},
      {"[" + id + R"(,"A",{},{"Class":null}])", "ok"},
      {"[" + id + R"(,"A",{},{"Class":1}])", "invalid type: integer `1`, expected unit at line 1 column 57"},
      {"[" + id + R"(,"A",{},{"Class":null,"X":null}])", "expected value at line 1 column 61"},
      {"[" + id + R"(,"A",{},{1:null}])", "invalid type: integer `1`, expected variant identifier at line 1 column 49"},
      {"[" + id + R"(,"A",{},"class"])",
       "unknown variant `class`, expected one of `Individual`, `Class`, `ObjectProperty`, `DataProperty`, "
       "`Restriction`, `AnnotationProperty` at line 1 column 54"},
      {"[" + id + R"(,"A",{}])", "invalid length 3, expected struct Node with 4 elements at line 1 column 47"},
      {"[" + id + R"(,"A",{},"Class",1])", "trailing characters at line 1 column 56"},
      {"[" + id + R"(,"A",{},"Class",])", "trailing comma at line 1 column 56"},
      {R"({"label":"A","properties":{},"kind":"Class"})", "missing field `id` at line 1 column 44"},
      {R"({"id":)" + id + R"(,"id":)" + id, "duplicate field `id` at line 1 column 50"},
      {"null", "invalid type: null, expected struct Node at line 1 column 4"},
      {"\"x\"", "invalid type: string \"x\", expected struct Node at line 1 column 3"},
      {R"([1,"A",{},"Class"])", "invalid type: integer `1`, expected a UUID string at line 1 column 2"},
      {R"(["zz","A",{},"Class"])",
       "UUID parsing failed: invalid character: expected an optional prefix of `urn:uuid:` followed by "
       "[0-9a-fA-F-], found `z` at 1 at line 1 column 5"},
      {"[" + id + R"(,5,{},"Class"])", "invalid type: integer `5`, expected a string at line 1 column 41"},
      {"[" + id + R"(,"A",[],"Class"])", "invalid type: sequence, expected a map at line 1 column 46"},
      {"[" + id + R"(,"A",{"k":{}},"Class"])",
       "data did not match any variant of untagged enum PropertyValue at line 1 column 51"},
      {"[" + id + R"(,"A",{"k":1,"k":2},"Class"])", "ok"},
      {"[" + id + R"(,"A",{"k":1,},"Class"])", "trailing comma at line 1 column 52"},
      {"[" + id, "EOF while parsing a list at line 1 column 39"},
  };
  for (const auto& c : cases) EXPECT_EQ(read_node_json(c.text), c.result) << c.text;
}

}  // namespace
}  // namespace zudizid
