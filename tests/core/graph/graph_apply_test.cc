// Commits applied as record versions, through the write applier and through
// own application (no applier), which must agree.
#include <gtest/gtest.h>

#include "graph_fixture.h"
#include "storage/storage_keys.h"

namespace zudizid::graph::testing {
namespace {

class ApplyTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { g_.emplace(make_graph(dir_.path(), GetParam())); }
  Graph& g() { return *g_; }
  storage::Storage& st() { return *g().storage(); }
  uint64_t now() { return g().next_timestamp().load(); }
  std::optional<VersionedEdge> edge_version(const Uuid& e) {
    auto v = st().db().open_tree("versioned_edges")->get(storage::keys::edge_version(e, 1));
    if (!v || !*v) return std::nullopt;
    return *VersionedEdge::from_msgpack((*v)->bytes());
  }
  bool edge_current(const Uuid& e) {
    return st().db().open_tree("versioned_edges_current")->get(e.to_string())->has_value();
  }
  std::vector<std::string> wal_kinds() {
    std::vector<std::string> out;
    auto logged = g().wal().read_all();
    EXPECT_TRUE(logged);
    for (const auto& r : *logged) out.emplace_back(r.name());
    return out;
  }

  TempDir dir_;
  std::optional<Graph> g_;
};

TEST_P(ApplyTest, NodeVersionsChainAndClose) {
  ASSERT_TRUE(commit(g(), {node(1, {{"p", PropertyValue::integer(1)}})}));
  auto v1 = st().get_node_version(id(1), 1);
  ASSERT_TRUE(v1);
  EXPECT_FALSE(v1->valid_to);
  EXPECT_EQ(g().last_commit_timestamp(id(1)), v1->valid_from);
  EXPECT_EQ(g().outgoing_adjacency().map.at(id(1)).size(), 0u);
  EXPECT_EQ(*st().property_index_ids("p", PropertyValue::integer(1)), std::vector<Uuid>{id(1)});

  ASSERT_TRUE(commit(g(), {node(1, {{"p", PropertyValue::integer(2)}})}));
  auto v2 = st().get_node_version(id(1), 2);
  ASSERT_TRUE(v2);
  EXPECT_EQ(v2->prev_version, 1u);
  EXPECT_EQ(st().get_node_version(id(1), 1)->valid_to, v2->valid_from);
  EXPECT_EQ(*st().get_current_version(id(1)), 2u);
  EXPECT_EQ(g().get_node_version_at(id(1), v2->valid_from - 1)->properties.at("p"), PropertyValue::integer(1));
  // The stale index entry of p=1 is filtered by the lookup.
  EXPECT_TRUE(g().lookup_property_index("p", PropertyValue::integer(1))->empty());
  EXPECT_EQ(wal_kinds(), (std::vector<std::string>{"Begin", "InsertNode", "Commit", "Begin", "InsertNode", "Commit"}));
}

TEST_P(ApplyTest, DeleteClosesVersionsAndRecreateContinuesNumbering) {
  ASSERT_TRUE(commit(g(), {node(1), node(2)}, {edge(1, 1, 2), edge(2, 2, 1)}));
  const uint64_t alive = now();
  ASSERT_TRUE(commit(g(), {}, {}, {id(1)}));
  const uint64_t gone = now();

  EXPECT_TRUE(g().get_node_version_at(id(1), alive));
  EXPECT_FALSE(g().get_node_version_at(id(1), gone));
  EXPECT_EQ(g().get_node(id(1)).error().display(), "Node not found: " + id(1).to_string());
  for (int e : {1, 2}) {
    EXPECT_FALSE(*st().edge_exists(id(1000 + e)));
    EXPECT_FALSE(edge_current(id(1000 + e)));
    ASSERT_TRUE(edge_version(id(1000 + e))->valid_to);
    EXPECT_LT(*edge_version(id(1000 + e))->valid_to, gone);
  }
  EXPECT_TRUE(g().incoming_adjacency().map.at(id(2)).empty());
  EXPECT_TRUE(g().outgoing_adjacency().map.at(id(2)).empty());
  EXPECT_FALSE(g().outgoing_adjacency().map.contains(id(1)));

  ASSERT_TRUE(commit(g(), {node(1)}));
  EXPECT_EQ(*st().get_current_version(id(1)), 2u);
  EXPECT_EQ(st().get_node_version(id(1), 2)->prev_version, 1u);
  EXPECT_TRUE(st().get_node_version(id(1), 1)->valid_to);  // the old life stays closed
  EXPECT_FALSE(g().get_node_version_at(id(1), gone));
  EXPECT_TRUE(g().get_node_version_at(id(1), now()));
}

TEST_P(ApplyTest, EdgeDeletionIsLoggedAndApplied) {
  ASSERT_TRUE(commit(g(), {node(1), node(2)}, {edge(1, 1, 2)}));
  ASSERT_TRUE(commit(g(), {}, {}, {}, {id(1001)}));
  EXPECT_FALSE(*st().edge_exists(id(1001)));
  EXPECT_TRUE(edge_version(id(1001))->valid_to);
  EXPECT_TRUE(g().outgoing_adjacency().map.at(id(1)).empty());
  auto stored = st().db().get(storage::keys::out_adjacency(id(1)));
  EXPECT_EQ((*stored)->view(), "\x90");
  EXPECT_EQ(wal_kinds().at(6), "DeleteEdge");
}

TEST_P(ApplyTest, EdgeWithoutEndpointFailsBeforeLogging) {
  ASSERT_TRUE(commit(g(), {node(1)}));
  const auto before = g().wal().position();
  auto r = commit(g(), {node(2)}, {edge(1, 2, 99)});
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().display(), "Node not found: " + id(99).to_string());
  EXPECT_EQ(g().wal().position(), before);
  EXPECT_FALSE(*st().node_exists(id(2)));
  // An endpoint deleted by the same commit is missing too.
  EXPECT_FALSE(commit(g(), {}, {edge(2, 1, 1)}, {id(1)}));
  EXPECT_TRUE(*st().node_exists(id(1)));
}

TEST_P(ApplyTest, ApplyFailureAfterLoggingCommitsAndStopsWrites) {
  ASSERT_TRUE(commit(g(), {node(5)}));
  // A damaged current-version pointer makes the next version of node 5 fail
  // after its records are durable.
  ASSERT_TRUE(st().db().insert(storage::keys::node_current(id(5)), std::string_view("\x01\0\0\0\0\0\0", 7)));
  auto r = commit(g(), {node(5, {{"p", PropertyValue::integer(1)}})});
  EXPECT_TRUE(r) << r.error().display();
  EXPECT_EQ(wal_kinds().back(), "Commit");
  auto later = commit(g(), {node(6)});
  ASSERT_FALSE(later);
  EXPECT_EQ(later.error().display(),
            "Writes stopped: applying a logged commit failed: Invalid version format");
  EXPECT_FALSE(g().submit_write(WriteOp{WriteOp::PutNode{node(7)}}));
}

TEST_P(ApplyTest, SingleWriteOperations) {
  const auto before = g().wal().position();
  const uint64_t version = g().graph_version().load();
  ASSERT_TRUE(g().submit_write(WriteOp{WriteOp::PutNode{node(1, {{"p", PropertyValue::string("x")}})}}));
  ASSERT_TRUE(g().submit_write(WriteOp{WriteOp::PutNode{node(2)}}));
  ASSERT_TRUE(g().submit_write(WriteOp{WriteOp::PutEdge{edge(1, 1, 2), 7}}));
  EXPECT_EQ(g().wal().position(), before);  // operations are not logged
  // Each write raises the counter while it stages and again once stored.
  EXPECT_GE(g().graph_version().load(), version + 3);
  EXPECT_EQ(*g().lookup_property_index("p", PropertyValue::string("x")), std::vector<Uuid>{id(1)});
  ASSERT_TRUE(g().unindex_property("p", PropertyValue::string("x"), id(1)));
  EXPECT_TRUE(st().property_index_ids("p", PropertyValue::string("x"))->empty());
  auto missing = g().submit_write(WriteOp{WriteOp::PutEdge{edge(2, 1, 3), 7}});
  EXPECT_EQ(missing.error().display(), "Node not found: " + id(3).to_string());
  ASSERT_TRUE(g().submit_write(WriteOp{WriteOp::DeleteEdge{id(1001), 8}}));
  EXPECT_EQ(edge_version(id(1001))->valid_to, 8u);
  ASSERT_TRUE(g().submit_write(WriteOp{WriteOp::DeleteNode{id(1)}}));
  EXPECT_EQ(g().submit_write(WriteOp{WriteOp::DeleteNode{id(1)}}).error().display(),
            "Node not found: " + id(1).to_string());
  ASSERT_TRUE(g().flush_adjacency());
}

INSTANTIATE_TEST_SUITE_P(ApplierOrOwn, ApplyTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Applier" : "OwnApplication"; });

}  // namespace
}  // namespace zudizid::graph::testing
