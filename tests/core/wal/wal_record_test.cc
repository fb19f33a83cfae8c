#include "wal/wal_record.h"

#include <gtest/gtest.h>

#include <cmath>

namespace zudizid::wal {
namespace {

std::string read(std::string_view payload) {
  auto r = WalRecord::from_json(payload);
  return r ? "ok" : r.error().to_string();
}

Node sample_node() {
  Node n;
  n.id = *Uuid::parse("00112233-4455-6677-8899-aabbccddeeff");
  n.label = "Person";
  n.properties["name"] = PropertyValue::string("Ada");
  n.kind = NodeKind::Individual;
  return n;
}

TEST(WalRecordJson, WriterForms) {
  EXPECT_EQ(WalRecord(Begin{7, 12}).to_json(), R"({"Begin":{"tx_id":7,"timestamp":12}})");
  EXPECT_EQ(WalRecord(Abort{3}).to_json(), R"({"Abort":{"tx_id":3}})");
  EXPECT_EQ(WalRecord(Checkpoint{5, {1, 2}}).to_json(), R"({"Checkpoint":{"timestamp":5,"active_transactions":[1,2]}})");
  EXPECT_EQ(WalRecord(InsertNode{1, sample_node()}).to_json(),
            R"({"InsertNode":{"tx_id":1,"node":{"id":"00112233-4455-6677-8899-aabbccddeeff","label":"Person",)"
            R"("properties":{"name":"Ada"},"kind":"Individual"}}})");
  Edge e;
  e.id = Uuid();
  e.edge_type = "R";
  EXPECT_EQ(WalRecord(DeleteEdge{2, e.id, e}).to_json(),
            R"({"DeleteEdge":{"tx_id":2,"edge_id":"00000000-0000-0000-0000-000000000000","edge":{"id":)"
            R"("00000000-0000-0000-0000-000000000000","source":"00000000-0000-0000-0000-000000000000","target":)"
            R"("00000000-0000-0000-0000-000000000000","edge_type":"R","properties":{}}}})");
}

TEST(WalRecordJson, EveryVariantRoundTrips) {
  Node a = sample_node(), b = sample_node();
  b.properties["age"] = PropertyValue::integer(36);
  Edge e;
  e.id = Uuid::new_v4();
  e.source = a.id;
  e.target = Uuid::new_v4();
  e.edge_type = "KNOWS";
  e.properties["w"] = PropertyValue::float64(0.5);
  const WalRecord records[] = {Begin{1, 2},           InsertNode{1, a},     UpdateNode{1, a.id, a, b},
                               DeleteNode{1, a.id, b}, InsertEdge{1, e},    DeleteEdge{1, e.id, e},
                               Commit{1, 3},          Abort{UINT64_MAX},   Checkpoint{9, {}}};
  for (size_t k = 0; k < std::size(records); ++k) {
    const WalRecord& rec = records[k];
    EXPECT_EQ(rec.index(), k);
    EXPECT_EQ(WalRecord::variant_from_name(rec.name()), k);
    auto back = WalRecord::from_json(rec.to_json());
    ASSERT_TRUE(back) << rec.to_json() << ": " << back.error().to_string();
    EXPECT_EQ(*back, rec) << rec.to_json();
  }
  EXPECT_EQ(records[8].tx_id(), std::nullopt);
  EXPECT_EQ(records[7].tx_id(), UINT64_MAX);
}

TEST(WalRecordJson, AcceptedForms) {
  for (const char* text : {R"({"Begin":{"tx_id":7,"timestamp":12}})", R"({"Begin":[7,12]})",
                           R"({"Begin":{"timestamp":12,"tx_id":7}})",
                           " \t\r\n{ \"Begin\" :\n{\"tx_id\" : 7 ,\"timestamp\":12 } } \n",
                           R"({"Begin":{"tx_id":7,"timestamp":12,"extra":{"a":[1,2]}}})",
                           R"({"Beg\u0069n":{"tx_\u0069d":7,"timestamp":12}})"}) {
    auto r = WalRecord::from_json(text);
    ASSERT_TRUE(r) << text << ": " << r.error().to_string();
    EXPECT_EQ(*r, WalRecord(Begin{7, 12})) << text;
  }
  auto cp = WalRecord::from_json(R"({"Checkpoint":{"timestamp":5,"active_transactions":[]}})");
  ASSERT_TRUE(cp);
  EXPECT_TRUE(cp->get_if<Checkpoint>()->active_transactions.empty());
  EXPECT_EQ(read(R"({"Abort":{"tx_id":0}})"), "ok");
}

TEST(WalRecordJson, ReaderMessages) {
  const std::string unknown =
      "unknown variant `Rollback`, expected one of `Begin`, `InsertNode`, `UpdateNode`, `DeleteNode`, `InsertEdge`, "
      "`DeleteEdge`, `Commit`, `Abort`, `Checkpoint`";
  struct Case {
    std::string payload;
    std::string message;
  };
  const Case cases[] = {
      {"", "EOF while parsing a value at line 1 column 0"},
      {"  ", "EOF while parsing a value at line 1 column 2"},
      {"\f{}", "expected value at line 1 column 1"},
      {"[1]", "expected value at line 1 column 1"},
      {R"({"Begin":{"tx_id":7}})", "missing field `timestamp` at line 1 column 20"},
      {R"({"Begin":{"timestamp":12}})", "missing field `tx_id` at line 1 column 25"},
      {R"({"Commit":{"tx_id":1,"tx_id":2,"timestamp":3}})", "duplicate field `tx_id` at line 1 column 29"},
      {R"({"Begin":[7]})", "invalid length 1, expected struct variant WalRecord::Begin with 2 elements at line 1 column 12"},
      {R"({"Abort":[]})", "invalid length 0, expected struct variant WalRecord::Abort with 1 element at line 1 column 11"},
      {R"({"Begin":[7,12,13]})", "trailing characters at line 1 column 16"},
      {R"({"Begin":[7,12,]})", "trailing comma at line 1 column 16"},
      {R"({"Begin":[7,12)", "EOF while parsing a list at line 1 column 14"},
      {R"({"Begin":[7 12]})", "expected `,` or `]` at line 1 column 13"},
      {R"({"Abort":{"tx_id":-1}})", "invalid value: integer `-1`, expected u64 at line 1 column 20"},
      {R"({"Abort":{"tx_id":1.0}})", "invalid type: floating point `1.0`, expected u64 at line 1 column 21"},
      {R"({"Abort":{"tx_id":true}})", "invalid type: boolean `true`, expected u64 at line 1 column 22"},
      {R"({"Abort":{"tx_id":"1"}})", "invalid type: string \"1\", expected u64 at line 1 column 21"},
      {R"({"Abort":{"tx_id":18446744073709551616}})",
       "invalid type: floating point `1.8446744073709552e19`, expected u64 at line 1 column 38"},
      {R"({"Abort":{"tx_id":-0}})", "invalid type: floating point `-0.0`, expected u64 at line 1 column 20"},
      {R"({"Abort":{"tx_id":1e2}})", "invalid type: floating point `100.0`, expected u64 at line 1 column 21"},
      {R"({"Checkpoint":{"timestamp":5,"active_transactions":null}})",
       "invalid type: null, expected a sequence at line 1 column 55"},
      {R"({"Checkpoint":{"timestamp":5,"active_transactions":[1,-2]}})",
       "invalid value: integer `-2`, expected u64 at line 1 column 56"},
      {"\"Begin\"", "invalid type: unit variant, expected struct variant"},
      {"\"Rollback\"", unknown + " at line 1 column 10"},
      {R"({"Rollback":{}})", unknown + " at line 1 column 11"},
      {R"({"begin":{"tx_id":7,"timestamp":12}})",
       "unknown variant `begin`, expected one of `Begin`, `InsertNode`, `UpdateNode`, `DeleteNode`, `InsertEdge`, "
       "`DeleteEdge`, `Commit`, `Abort`, `Checkpoint` at line 1 column 8"},
      {R"({1:{}})", "invalid type: integer `1`, expected variant identifier at line 1 column 2"},
      {R"({}})", "expected value at line 1 column 2"},
      {R"({)", "EOF while parsing a value at line 1 column 1"},
      {R"({"Begin")", "EOF while parsing an object at line 1 column 8"},
      {R"({"Begin" {})", "expected `:` at line 1 column 10"},
      {R"({"Begin":)", "EOF while parsing a value at line 1 column 9"},
      {R"({"Begin":5})", "invalid type: integer `5`, expected struct variant WalRecord::Begin at line 1 column 10"},
      {R"({"Checkpoint":"x"})",
       "invalid type: string \"x\", expected struct variant WalRecord::Checkpoint at line 1 column 17"},
      {R"({"Begin":{"tx_id":7,"timestamp":12})", "EOF while parsing an object at line 1 column 35"},
      {R"({"Begin":{"tx_id":7,"timestamp":12}} x)", "trailing characters at line 1 column 38"},
      {R"({"Begin":{"tx_id":7,"timestamp":12},"Commit":{}})", "expected value at line 1 column 36"},
      {R"({"Begin":{"tx_id":7,"timestamp":12,}})", "trailing comma at line 1 column 36"},
      {R"({"Begin":{"tx_id":7 "timestamp":12}})", "expected `,` or `}` at line 1 column 21"},
      {R"({"Begin":{7:1}})", "key must be a string at line 1 column 11"},
      {R"({"Begin":{"tx_id":7,"extra":[1,}})", "expected value at line 1 column 32"},
      {R"({"DeleteNode":{"tx_id":1,"node_id":5}})", "invalid type: integer `5`, expected a UUID string at line 1 column 36"},
      {R"({"DeleteNode":{"tx_id":1,"node_id":"abc"}})",
       "UUID parsing failed: invalid length: expected length 32 for simple format, found 3 at line 1 column 40"},
      {R"({"InsertNode":{"tx_id":1,"node":7}})", "invalid type: integer `7`, expected struct Node at line 1 column 33"},
      {"{\"Begin\":{\"tx_id\":7,\n\"timestamp\":x}}", "expected value at line 2 column 13"},
  };
  for (const auto& c : cases) EXPECT_EQ(read(c.payload), c.message) << c.payload;
}

TEST(WalRecordJson, NestingBudget) {
  // Outer object, body and node object and properties take 4 levels; a
  // property value may nest 123 arrays, not 124.
  auto payload = [](int arrays) {
    return R"({"InsertNode":{"tx_id":1,"node":{"id":"00112233-4455-6677-8899-aabbccddeeff","label":"A",)"
           R"("properties":{"p":)" + std::string(arrays, '[') + std::string(arrays, ']') + R"(},"kind":"Class"}}})";
  };
  EXPECT_EQ(read(payload(123)), "ok");
  EXPECT_NE(read(payload(124)).find("recursion limit exceeded at line 1 column"), std::string::npos);
}

TEST(WalRecordJson, NonFiniteFloatsAreRefusedBeforeLogging) {
  Node n = sample_node();
  EXPECT_TRUE(WalRecord(InsertNode{1, n}).validate_for_log());
  n.properties["score"] = PropertyValue::float64(INFINITY);
  for (const WalRecord& rec : {WalRecord(InsertNode{1, n}), WalRecord(UpdateNode{1, n.id, sample_node(), n})}) {
    auto ok = rec.validate_for_log();
    ASSERT_FALSE(ok);
    EXPECT_EQ(ok.error().display(),
              "Serialization error: JSON serialize error: property `score`: non-finite float inf cannot be logged");
  }
  // The deepest value the write boundary admits reads back through the log.
  PropertyValue v = PropertyValue::integer(1);
  for (size_t k = 0; k < PropertyValue::kMaxWriteDepth; ++k) v = PropertyValue::list({std::move(v)});
  Node deep = sample_node();
  deep.properties["d"] = v;
  WalRecord rec = UpdateNode{1, deep.id, deep, deep};
  ASSERT_TRUE(rec.validate_for_log());
  EXPECT_TRUE(WalRecord::from_json(rec.to_json()));
}

}  // namespace
}  // namespace zudizid::wal
