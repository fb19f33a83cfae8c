#include "storage/versioned.h"

#include <gtest/gtest.h>

#include "tests/support/bytes.h"

namespace zudizid {
namespace {

using testing::hex;
using testing::unhex;

const Uuid kId = *Uuid::parse("00112233-4455-6677-8899-aabbccddeeff");
const std::string kIdHex = "c4 10 00 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff";

Node sample_node() {
  Node n;
  n.id = kId;
  n.label = "A";
  n.kind = NodeKind::Class;
  return n;
}
const std::string kNodeHex = "94 " + kIdHex + " a1 41 80 a5 43 6c 61 73 73";

Edge sample_edge() {
  Edge e;
  e.id = kId;
  e.source = kId;
  e.target = kId;
  e.edge_type = "T";
  return e;
}
const std::string kEdgeHex = "95 " + kIdHex + " " + kIdHex + " " + kIdHex + " a1 54 80";

template <class T>
std::string decode_error(const std::string& hex_text) {
  auto r = T::from_msgpack(unhex(hex_text));
  return r ? "ok" : r.error().display();
}

TEST(EmbeddingMsgpack, ExampleIs33Bytes) {
  Embedding e{kId, {1.0f, -2.0f}, "m", 1};
  auto bytes = e.to_msgpack();
  ASSERT_TRUE(bytes);
  EXPECT_EQ(bytes->size(), 33u);
  EXPECT_EQ(hex(*bytes), "94 " + kIdHex + " 92 ca 3f 80 00 00 ca c0 00 00 00 a1 6d 01");
  EXPECT_EQ(*Embedding::from_msgpack(*bytes), e);
  // An edge embedding is stored by the same encoder and read by its own decoder.
  auto edge = EdgeEmbedding::from_msgpack(*bytes);
  ASSERT_TRUE(edge);
  EXPECT_EQ(edge->edge_id, kId);
  const EdgeEmbedding as_edge{kId, {1.0f, -2.0f}, "m", 1};
  EXPECT_EQ(*as_edge.to_msgpack(), *bytes);
}

TEST(VersionedMsgpack, Layouts) {
  VersionedNode vn{kId, 127, 128, sample_node(), std::nullopt, 256, std::nullopt};
  EXPECT_EQ(hex(*vn.to_msgpack()), "97 " + kIdHex + " 7f cc 80 " + kNodeHex + " c0 cd 01 00 c0");
  vn.prev_version = 4294967296;
  vn.valid_to = 5;
  EXPECT_EQ(hex(*vn.to_msgpack()), "97 " + kIdHex + " 7f cc 80 " + kNodeHex + " cf 00 00 00 01 00 00 00 00 cd 01 00 05");
  EXPECT_EQ(*VersionedNode::from_msgpack(*vn.to_msgpack()), vn);

  VersionedEdge ve{kId, 1, 2, sample_edge(), 3, 9, std::nullopt};
  EXPECT_EQ(hex(*ve.to_msgpack()), "97 " + kIdHex + " 01 02 " + kEdgeHex + " 03 09 c0");
  EXPECT_EQ(*VersionedEdge::from_msgpack(*ve.to_msgpack()), ve);

  PathReferenceEmbedding p{std::string(31, 'n'), "nm", std::string(32, 'e'), {}, 1700000000};
  auto bytes = hex(*p.to_msgpack());
  EXPECT_EQ(bytes.substr(0, 5), "95 bf");
  EXPECT_NE(bytes.find("d9 20 65"), std::string::npos);
  EXPECT_EQ(bytes.substr(bytes.size() - 17), "90 ce 65 53 f1 00");
  EXPECT_EQ(*PathReferenceEmbedding::from_msgpack(*p.to_msgpack()), p);

  Embedding sixteen{kId, std::vector<float>(16, 0.0f), "m", 1};
  EXPECT_NE(hex(*sixteen.to_msgpack()).find(kIdHex + " dc 00 10 ca 00 00 00 00"), std::string::npos);
}

TEST(EmbeddingMsgpack, AcceptedForms) {
  // Map form with names (and an extra entry), map with positions, trailing bytes.
  const std::string named = "85 a7 6e 6f 64 65 5f 69 64 " + kIdHex + " a6 76 65 63 74 6f 72 90 a5 6d 6f 64 65 6c a1 6d " +
                            "a7 76 65 72 73 69 6f 6e 01 a1 78 c0";
  EXPECT_EQ(decode_error<Embedding>(named), "ok");
  EXPECT_EQ(decode_error<Embedding>("84 00 " + kIdHex + " 01 90 02 a1 6d 03 01"), "ok");
  EXPECT_EQ(decode_error<Embedding>("94 " + kIdHex + " 90 a1 6d 01 ff ff ff"), "ok");
  // Version as int 8; vector elements as float 64, integers and a bin.
  auto e = Embedding::from_msgpack(unhex("94 " + kIdHex + " 93 cb 3f f8 00 00 00 00 00 00 05 d0 fe a1 6d d0 05"));
  ASSERT_TRUE(e);
  EXPECT_EQ(e->vector, (std::vector<float>{1.5f, 5.0f, -2.0f}));
  EXPECT_EQ(e->version, 5u);
  EXPECT_EQ(Embedding::from_msgpack(unhex("94 " + kIdHex + " c4 02 01 02 a1 6d 01"))->vector,
            (std::vector<float>{1.0f, 2.0f}));
  // A VersionedNode map without the optional fields.
  auto vn = VersionedNode::from_msgpack(unhex("85 a2 69 64 " + kIdHex + " 01 01 02 02 03 " + kNodeHex + " 05 07"));
  ASSERT_TRUE(vn) << vn.error().display();
  EXPECT_FALSE(vn->prev_version);
  EXPECT_FALSE(vn->valid_to);
  EXPECT_EQ(vn->valid_from, 7u);
}

TEST(VersionedMsgpack, DecoderMessages) {
  const std::string P = "Serialization error: MessagePack deserialize error: ";
  struct Case {
    std::string (*decode)(const std::string&);
    std::string bytes;
    std::string message;
  };
  const Case cases[] = {
      {decode_error<Embedding>, "", "IO error while reading marker: failed to fill whole buffer"},
      {decode_error<Embedding>, "93 " + kIdHex + " 90 a1 6d", "invalid length 3, expected struct Embedding with 4 elements"},
      {decode_error<Embedding>, "95 " + kIdHex + " 90 a1 6d 01 01", "array had incorrect length, expected 4"},
      {decode_error<Embedding>, "83 00 " + kIdHex + " 01 90 03 01", "missing field `model`"},
      {decode_error<Embedding>, "85 00 " + kIdHex + " 01 90 02 a1 6d 02 a1 6d 03 01", "duplicate field `model`"},
      {decode_error<Embedding>, "81 d0 00 " + kIdHex, "invalid type: integer `0`, expected field identifier"},
      {decode_error<Embedding>, "94 " + kIdHex + " 90 a1 6d cf 00 00 00 01 00 00 00 00",
       "invalid value: integer `4294967296`, expected u32"},
      {decode_error<Embedding>, "94 " + kIdHex + " 90 a1 6d c3", "invalid type: boolean `true`, expected u32"},
      {decode_error<Embedding>, "94 " + kIdHex + " 90 a1 6d a1 31", "wrong msgpack marker FixStr(1)"},
      {decode_error<Embedding>, "94 " + kIdHex + " 91 c0 a1 6d 01", "invalid type: unit value, expected f32"},
      {decode_error<Embedding>, "94 " + kIdHex + " 91 a1 31 a1 6d 01", "wrong msgpack marker FixStr(1)"},
      {decode_error<Embedding>, "94 " + kIdHex + " 80 a1 6d 01", "invalid type: map, expected a sequence"},
      {decode_error<Embedding>, "94 " + kIdHex + " 90 05 01", "invalid type: integer `5`, expected a string"},
      {decode_error<Embedding>, "c0", "invalid type: unit value, expected struct Embedding"},
      {decode_error<Embedding>, "c4 00", "invalid length 0, expected struct Embedding with 4 elements"},
      {decode_error<Embedding>, "c4 01 07", "invalid type: integer `7`, expected a UUID string"},
      {decode_error<Embedding>, "94 " + kIdHex + " dd ff ff ff ff ca", "IO error while reading data: failed to fill whole buffer"},
      {decode_error<Embedding>, "94 " + kIdHex + " 90 a3 6d", "IO error while reading data: unexpected end of file"},
      {decode_error<EdgeEmbedding>, "93 " + kIdHex + " 90 a1 6d", "invalid length 3, expected struct EdgeEmbedding with 4 elements"},
      {decode_error<EdgeEmbedding>, "83 00 " + kIdHex + " 01 90 02 a1 6d", "missing field `version`"},
      {decode_error<PathReferenceEmbedding>, "c4 01 07", "invalid type: integer `7`, expected a string"},
      {decode_error<PathReferenceEmbedding>, "94 a1 6e a1 6e a1 6e 90",
       "invalid length 4, expected struct PathReferenceEmbedding with 5 elements"},
      {decode_error<PathReferenceEmbedding>, "c3", "invalid type: boolean `true`, expected struct PathReferenceEmbedding"},
      {decode_error<VersionedNode>, "97 " + kIdHex + " d0 05 d0 ff", "invalid value: integer `-1`, expected u64"},
      {decode_error<VersionedNode>, "97 " + kIdHex + " 01 cb 3f f8 00 00 00 00 00 00",
       "invalid type: floating point `1.5`, expected u64"},
      {decode_error<VersionedNode>, "97 " + kIdHex + " 01 90", "wrong msgpack marker FixArray(0)"},
      {decode_error<VersionedNode>, "97 " + kIdHex + " 01 c1", "wrong msgpack marker Reserved"},
      {decode_error<VersionedNode>, "84 00 " + kIdHex + " 01 01 02 02 03 " + kNodeHex, "missing field `valid_from`"},
      {decode_error<VersionedNode>, "87 00 " + kIdHex + " 01 01 02 02 03 " + kNodeHex + " 05 01 04 c0 04 c0",
       "duplicate field `prev_version`"},
      {decode_error<VersionedNode>, "97 " + kIdHex + " 01 02 c0", "invalid type: unit value, expected struct Node"},
      {decode_error<VersionedNode>, "a1 78", "invalid type: string \"x\", expected struct VersionedNode"},
      {decode_error<VersionedNode>, "d6 01 00 00 00 00", "invalid type: newtype struct, expected struct VersionedNode"},
      {decode_error<VersionedEdge>, "96 " + kIdHex + " 01 02 " + kEdgeHex + " 03 04 c0",
       "invalid length 6, expected struct VersionedEdge with 7 elements"},
      {decode_error<VersionedEdge>, "90", "invalid length 0, expected struct VersionedEdge with 7 elements"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.decode(c.bytes), P + c.message) << c.bytes;
}

TEST(VersionedMsgpack, HostileVectorHeaderCostsLittle) {
  // Claims 2^32-1 floats; only 3 bytes follow.
  auto r = Embedding::from_msgpack(unhex("94 " + kIdHex + " dd ff ff ff ff ca 00 00"));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), DbError::Kind::Serialization);
}

TEST(VersionedMsgpack, NestingBudgetCoversNestedRecords) {
  // Versioned array, Node array and property map take 3 levels: 1020 nested
  // arrays inside a property still fit, 1021 exceed the budget.
  auto deep = [](size_t arrays) {
    std::string s = "97 " + kIdHex + " 01 02 94 " + kIdHex + " a1 41 81 a1 6b ";
    for (size_t i = 0; i < arrays; ++i) s += "91 ";
    return s + "c0 a5 43 6c 61 73 73 c0 03 c0";
  };
  EXPECT_EQ(decode_error<VersionedNode>(deep(1020)), "ok");
  EXPECT_EQ(decode_error<VersionedNode>(deep(1021)),
            "Serialization error: MessagePack deserialize error: depth limit exceeded");
}

}  // namespace
}  // namespace zudizid
