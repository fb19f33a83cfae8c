// The handle's streaming reads: cursors, label lookups and counts agree with
// full scans of the stored records after every kind of write.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "graph/bulk_load.h"
#include "graph_fixture.h"
#include "storage/storage_keys.h"

namespace zudizid::graph::testing {
namespace {

Node labelled(int n, std::string label) { return Node{id(n), std::move(label), {}, NodeKind::Individual}; }
Edge typed(int n, int source, int target, std::string type) {
  return Edge{id(1000 + n), id(source), id(target), std::move(type), {}};
}

template <class T>
std::vector<T> drain(Cursor<T> cursor) {
  auto all = cursor.collect();
  EXPECT_TRUE(all) << all.error().display();
  return all ? std::move(*all) : std::vector<T>{};
}

std::vector<Uuid> ids_of(const std::vector<Node>& nodes) {
  std::vector<Uuid> out;
  for (const Node& n : nodes) out.push_back(n.id);
  return out;
}

std::vector<Uuid> ids_of(const std::vector<Edge>& edges) {
  std::vector<Uuid> out;
  for (const Edge& e : edges) out.push_back(e.id);
  return out;
}

// Every label read, count and cursor against the full scans.
void expect_reads_match_scans(Graph& g) {
  auto nodes = g.storage()->scan_current_nodes();
  ASSERT_TRUE(nodes);
  auto edges = g.storage()->scan_edges();
  ASSERT_TRUE(edges);
  EXPECT_EQ(ids_of(drain(g.nodes())), ids_of(*nodes));
  EXPECT_EQ(ids_of(drain(g.edges())), ids_of(*edges));
  EXPECT_EQ(*g.node_count(), nodes->size());
  EXPECT_EQ(*g.edge_count(), edges->size());
  std::map<std::string, std::vector<Uuid>> by_label;
  for (const Node& n : *nodes) by_label[n.label].push_back(n.id);
  by_label.try_emplace("NoSuchLabel");
  for (const auto& [label, expected] : by_label) {
    EXPECT_EQ(ids_of(drain(g.nodes_with_label(label))), expected) << label;
    EXPECT_EQ(ids_of(*g.get_nodes_by_label(label)), expected) << label;
  }
}

class ReadsTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { g_.emplace(make_graph(dir_.path(), GetParam())); }
  Graph& g() { return *g_; }
  TempDir dir_;
  std::optional<Graph> g_;
};

TEST_P(ReadsTest, LabelLookupsFollowEveryKindOfWrite) {
  expect_reads_match_scans(g());
  ASSERT_TRUE(commit(g(), {labelled(3, "A"), labelled(1, "A"), labelled(2, "B")}, {typed(1, 1, 2, "R")}));
  expect_reads_match_scans(g());
  // Relabelled by a commit, by a single put; deleted by a commit and by a
  // single delete.
  ASSERT_TRUE(commit(g(), {labelled(1, "B")}));
  expect_reads_match_scans(g());
  ASSERT_TRUE(g().submit_write(WriteOp{WriteOp::PutNode{labelled(2, "C"), false}}));
  expect_reads_match_scans(g());
  ASSERT_TRUE(commit(g(), {}, {}, {id(3)}));
  expect_reads_match_scans(g());
  ASSERT_TRUE(g().submit_write(WriteOp{WriteOp::DeleteNode{id(2)}}));
  expect_reads_match_scans(g());
  // Bulk loaded, also over an existing id with another label.
  BulkLoader loader(g(), 100);
  loader.add_node(labelled(4, "A"));
  loader.add_node(labelled(1, "D"));
  ASSERT_TRUE(loader.finish());
  expect_reads_match_scans(g());
  // A handle built over the stored records lists them as well.
  Graph rebuilt = Graph::build({g().storage(), std::shared_ptr<wal::Wal>(), nullptr, {}, 1, 1, {}, false});
  expect_reads_match_scans(rebuilt);
}

TEST_P(ReadsTest, EdgesAndNeighboursByDirectionAndType) {
  ASSERT_TRUE(commit(g(), {node(1), node(2), node(3)},
                     {typed(1, 1, 2, "R"), typed(2, 1, 3, "S"), typed(3, 3, 1, "R"), typed(4, 1, 1, "R")}));
  struct Case {
    Direction direction;
    std::optional<std::string> type;
    std::vector<int> edges;      // edge numbers, as listed
    std::vector<int> neighbours;
  };
  // Adjacency lists keep the order of first insertion; the commit applies
  // its edges in no fixed order, so compare as sets where order is not ours.
  const std::vector<Case> cases = {
      {Direction::Outgoing, std::nullopt, {1, 2, 4}, {2, 3, 1}},
      {Direction::Incoming, std::nullopt, {3, 4}, {3, 1}},
      {Direction::Both, std::nullopt, {1, 2, 4, 3, 4}, {2, 3, 1, 3, 1}},
      {Direction::Outgoing, "R", {1, 4}, {2, 1}},
      {Direction::Incoming, "S", {}, {}},
      {Direction::Both, "R", {1, 4, 3, 4}, {2, 1, 3, 1}},
  };
  for (const Case& c : cases) {
    std::multiset<Uuid> want_edges, want_nodes, got_edges, got_nodes;
    for (int e : c.edges) want_edges.insert(id(1000 + e));
    for (int n : c.neighbours) want_nodes.insert(id(n));
    for (const Edge& e : drain(g().edges_of(id(1), c.direction, c.type))) got_edges.insert(e.id);
    auto steps = drain(g().neighbours(id(1), c.direction, c.type));
    for (const Neighbour& s : steps) {
      got_nodes.insert(s.node);
      EXPECT_TRUE(s.node == s.edge.source || s.node == s.edge.target);
    }
    EXPECT_EQ(got_edges, want_edges) << static_cast<int>(c.direction) << " " << c.type.value_or("*");
    EXPECT_EQ(got_nodes, want_nodes) << static_cast<int>(c.direction) << " " << c.type.value_or("*");
  }
  EXPECT_TRUE(drain(g().edges_of(id(99), Direction::Both)).empty());
  EXPECT_EQ(g().edge(id(1001))->target, id(2));
  EXPECT_EQ(g().edge(id(1999)).error().display(), "Edge not found: " + id(1999).to_string());
  EXPECT_EQ(g().node(id(99)).error().display(), "Node not found: " + id(99).to_string());
}

TEST_P(ReadsTest, ListedEdgeWithoutRecordIsSkippedAndReadFailuresEndTheStream) {
  ASSERT_TRUE(commit(g(), {node(1), node(2)}, {edge(1, 1, 2), edge(2, 1, 2)}));
  auto edges = g().storage()->db().open_tree(storage::keys::kEdgesTree);
  ASSERT_TRUE(edges->remove(storage::keys::edge(id(1001))));
  EXPECT_EQ(ids_of(drain(g().edges_of(id(1), Direction::Outgoing))), std::vector<Uuid>{id(1002)});
  EXPECT_EQ(ids_of(*g().get_outgoing_edges(id(1))), std::vector<Uuid>{id(1002)});

  // An undecodable record: the cursor yields the error, then nothing.
  ASSERT_TRUE(edges->insert(storage::keys::edge(id(1002)), std::string_view("\xc1")));
  auto cursor = g().edges_of(id(1), Direction::Outgoing);
  auto first = cursor.next();
  ASSERT_TRUE(first && !*first);
  EXPECT_NE(first->error().display().find("MessagePack deserialize error"), std::string::npos);
  EXPECT_FALSE(cursor.next());
  EXPECT_TRUE(g().get_outgoing_edges(id(1))->empty());  // logged and left out
  EXPECT_FALSE(g().edges().collect());
  EXPECT_EQ(*g().edge_count(), 1u);  // counts read keys only
}

TEST_P(ReadsTest, UndecodableNodeFailsLabelReadsOfAHandleBuiltOverIt) {
  ASSERT_TRUE(commit(g(), {labelled(1, "A"), labelled(2, "B")}));
  ASSERT_TRUE(g().storage()->db().insert(storage::keys::node(id(3)), std::string_view("\xc1")));
  Graph rebuilt = Graph::build({g().storage(), std::shared_ptr<wal::Wal>(), nullptr, {}, 1, 1, {}, false});
  auto read = rebuilt.get_nodes_by_label("A");
  ASSERT_FALSE(read);
  EXPECT_NE(read.error().display().find("MessagePack deserialize error"), std::string::npos);
  EXPECT_FALSE(rebuilt.nodes().collect());
  EXPECT_EQ(*rebuilt.node_count(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Applier, ReadsTest, ::testing::Bool());

}  // namespace
}  // namespace zudizid::graph::testing
