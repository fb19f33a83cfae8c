// Batches and errors of the Arrow export. The bytes of the stream are read
// back value by value by an independent Arrow reader in the Python tests;
// here: cell texts, the exact failure texts, and the text-size limit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <map>

#include "arrow_export/edge_batches.h"
#include "arrow_export/ipc_stream.h"
#include "arrow_export/node_batches.h"
#include "arrow_export/property_text.h"

namespace zudizid::arrow_export {
namespace {

Node node(std::string label, PropertyMap props = {}) {
  Node n;
  n.id = common::Uuid::new_v4();
  n.label = std::move(label);
  n.properties = std::move(props);
  return n;
}

Edge edge(PropertyMap props = {}) {
  Edge e;
  e.id = common::Uuid::new_v4();
  e.source = common::Uuid::new_v4();
  e.target = common::Uuid::new_v4();
  e.edge_type = "KNOWS";
  e.properties = std::move(props);
  return e;
}

TEST(PropertyText, RendersEveryKind) {
  const double inf = std::numeric_limits<double>::infinity();
  const struct {
    PropertyValue value;
    const char* text;
  } cases[] = {
      {PropertyValue::null(), "null"},
      {PropertyValue::boolean(true), "true"},
      {PropertyValue::boolean(false), "false"},
      {PropertyValue::integer(-42), "-42"},
      {PropertyValue::integer(std::numeric_limits<int64_t>::min()), "-9223372036854775808"},
      {PropertyValue::float64(3.0), "3"},
      {PropertyValue::float64(2.5), "2.5"},
      {PropertyValue::float64(0.1), "0.1"},
      {PropertyValue::float64(1e21), "1000000000000000000000"},
      {PropertyValue::float64(1e-7), "0.0000001"},
      {PropertyValue::float64(std::nan("")), "NaN"},
      {PropertyValue::float64(inf), "inf"},
      {PropertyValue::float64(-inf), "-inf"},
      {PropertyValue::float64(-0.0), "-0"},
      {PropertyValue::string("héllo"), "héllo"},
      {PropertyValue::bytes({1, 2, 3}), "<bytes:3>"},
      {PropertyValue::list({PropertyValue::integer(1)}), "<complex>"},
      {PropertyValue::object({}), "<complex>"},
  };
  for (const auto& c : cases) EXPECT_EQ(property_text(c.value), c.text) << c.value.debug_string();
}

TEST(NodeBatches, FailureTexts) {
  const std::vector<Node> none;
  const std::vector<Node> people = {node("Person")};
  EXPECT_EQ(nodes_to_arrow(none).error().display(), "Cannot convert empty node list to Arrow");
  EXPECT_EQ(nodes_to_arrow_with_properties(none, "Person").error().display(), "No nodes to export");
  EXPECT_EQ(nodes_to_arrow_with_properties(none, std::nullopt).error().display(), "No nodes to export");
  EXPECT_EQ(nodes_to_arrow_with_properties(people, "person").error().display(),
            "No nodes found with label 'person'");
  EXPECT_EQ(nodes_to_arrow_with_properties(people, "").error().display(), "No nodes found with label ''");
}

// A cursor gives the stream a node list gives; its error is the result.
TEST(NodeBatches, SummaryFromACursor) {
  const std::vector<Node> nodes = {node("Person", {{"a", PropertyValue::integer(1)}}), node("City")};
  auto from_cursor = [](storage::Cursor<Node> cursor) { return nodes_to_arrow(cursor); };
  EXPECT_EQ(*write_ipc_stream(*from_cursor(storage::Cursor<Node>::of(nodes))),
            *write_ipc_stream(*nodes_to_arrow(nodes)));
  EXPECT_EQ(from_cursor(storage::Cursor<Node>::of({})).error().display(), "Cannot convert empty node list to Arrow");
  EXPECT_EQ(from_cursor(storage::Cursor<Node>::failed(DbError::message("disk gone"))).error().display(), "disk gone");
}

TEST(NodeBatches, ColumnKindsFollowTheScalarsSeen) {
  const std::vector<Node> nodes = {
      node("P", {{"mixed", PropertyValue::integer(1)}, {"ints", PropertyValue::integer(1)},
                 {"flag", PropertyValue::boolean(true)}, {"only_list", PropertyValue::list({})},
                 {"s", PropertyValue::string("x")}}),
      node("P", {{"mixed", PropertyValue::float64(2.5)}, {"ints", PropertyValue::integer(2)},
                 {"flag", PropertyValue::null()}, {"only_list", PropertyValue::null()},
                 {"s", PropertyValue::null()}}),
      node("Q", {{"other", PropertyValue::integer(7)}}),
  };
  auto batch = nodes_to_arrow_with_properties(nodes, "P");
  ASSERT_TRUE(batch) << batch.error().display();
  EXPECT_EQ(batch->num_rows, 2);
  std::map<std::string, ArrowType> types;
  for (const Field& f : batch->fields) types[f.name] = f.type;
  EXPECT_EQ(types, (std::map<std::string, ArrowType>{{"id", ArrowType::Utf8},
                                                     {"label", ArrowType::Utf8},
                                                     {"mixed", ArrowType::Utf8},
                                                     {"ints", ArrowType::Int64},
                                                     {"flag", ArrowType::Bool},
                                                     {"s", ArrowType::Utf8}}));
  for (size_t i = 0; i < batch->fields.size(); ++i) {
    const Column& c = batch->columns[i];
    if (batch->fields[i].name == "mixed") {
      EXPECT_EQ(c.data, "12.5");
      EXPECT_EQ(c.offsets, (std::vector<int32_t>{0, 1, 4}));
    }
    if (batch->fields[i].name == "flag") EXPECT_EQ(c.null_count, 1);    // a stored Null in a Bool column
    if (batch->fields[i].name == "s") EXPECT_EQ(c.data, "xnull");       // a stored Null in a Utf8 column
  }
}

TEST(ArrowExport, TextBeyondTheOffsetLimitFailsThroughEachTemplate) {
  const std::vector<Node> nodes = {node("Person", {{"name", PropertyValue::string(std::string(40, 'x'))}})};
  const std::vector<Edge> edges = {edge({{"note", PropertyValue::string(std::string(40, 'x'))}})};
  const std::string limit = "Utf8 column would hold more than 39 bytes of text";
  EXPECT_EQ(nodes_to_arrow(nodes, 35).error().display(),
            "Arrow conversion error: Utf8 column would hold more than 35 bytes of text");  // a 36-byte id
  EXPECT_EQ(nodes_to_arrow_with_properties(nodes, "Person", 39).error().display(),
            "Failed to create RecordBatch: " + limit);
  EXPECT_EQ(edges_to_arrow(edges, 39).error().display(), "Arrow conversion error: " + limit);
  // 36-byte ids and a 40-byte value fit a limit of 40.
  EXPECT_TRUE(nodes_to_arrow_with_properties(nodes, "Person", 40));
  EXPECT_TRUE(edges_to_arrow(edges, 40));
}

TEST(EdgeBatches, PropertyColumnsSortedByNameBytes) {
  const std::vector<Edge> edges = {edge({{"weight", PropertyValue::float64(2.0)}, {"note", PropertyValue::string("a")}}),
                                   edge({{"no", PropertyValue::list({})}})};
  auto batch = edges_to_arrow(edges);
  ASSERT_TRUE(batch);
  std::vector<std::string> names;
  for (const Field& f : batch->fields) names.push_back(f.name);
  EXPECT_EQ(names, (std::vector<std::string>{"id", "source", "target", "edge_type", "no", "note", "weight"}));
  EXPECT_EQ(batch->columns[6].data, "2");
  EXPECT_EQ(batch->columns[6].null_count, 1);
  EXPECT_EQ(batch->columns[4].data, "<complex>");
}

TEST(GraphToArrow, EmptyEdgesGiveTheFourFixedColumns) {
  const std::vector<Node> nodes = {node("P")};
  auto pair = graph_to_arrow(nodes, {}, std::nullopt);
  ASSERT_TRUE(pair);
  EXPECT_EQ(pair->second.num_rows, 0);
  ASSERT_EQ(pair->second.fields.size(), 4u);
  EXPECT_EQ(graph_to_arrow(nodes, {}, "Nope").error().display(), "No nodes found with label 'Nope'");
  EXPECT_EQ(graph_to_arrow({}, {}, std::nullopt).error().display(), "No nodes to export");
}

TEST(IpcStream, FramingAndRefusedBatches) {
  const std::vector<Node> nodes = {node("P"), node("Q")};
  auto bytes = write_ipc_stream(*nodes_to_arrow(nodes));
  ASSERT_TRUE(bytes);
  ASSERT_GE(bytes->size(), 16u);
  EXPECT_EQ(bytes->substr(0, 4), std::string(4, '\xff'));
  EXPECT_EQ(bytes->substr(bytes->size() - 8), std::string(4, '\xff') + std::string(4, '\0'));
  EXPECT_EQ(bytes->size() % 8, 0u);

  RecordBatch bad = *nodes_to_arrow(nodes);
  bad.num_rows = 3;
  auto refused = write_ipc_stream(bad);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().stage, IpcStage::Write);
  EXPECT_EQ(refused.error().text, "column 'id' has 2 rows, the batch 3");
}

}  // namespace
}  // namespace zudizid::arrow_export
