// Secondary indexes and the property index follow every kind of write: after
// each one, every registered index answers exactly as a scan of the stored
// nodes does.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "graph/bulk_load.h"
#include "graph/indexes.h"
#include "graph/upsert/upsert.h"
#include "graph_fixture.h"
#include "storage/storage_keys.h"

namespace zudizid::graph::testing {
namespace {

PropertyValue I(int64_t v) { return PropertyValue::integer(v); }
PropertyValue S(std::string v) { return PropertyValue::string(std::move(v)); }

Node person(int n, PropertyMap props, std::string label = "P") {
  return Node{id(n), std::move(label), std::move(props), NodeKind::Individual};
}

// The ids a scan finds for label P and `property` = `value`.
std::set<Uuid> scanned(Graph& g, const std::string& property, const PropertyValue& value) {
  std::set<Uuid> out;
  auto nodes = g.storage()->scan_current_nodes();
  for (const Node& n : *nodes) {
    auto it = n.properties.find(property);
    if (n.label == "P" && it != n.properties.end() && it->second == value) out.insert(n.id);
  }
  return out;
}

// `bulk`: a bulk flush writes no property-index entries and leaves those of
// the records it overwrites (lookups re-check them).
void expect_indexes_match_scan(Graph& g, const std::string& step, bool bulk = false) {
  SCOPED_TRACE(step);
  const std::vector<PropertyValue> probes = {I(1), I(2), I(3), S("1"), S("a"), S("b"), S("c")};
  for (const auto& [name, property] : {std::pair{"P_k", "k"}, std::pair{"P_n", "n"}}) {
    for (const PropertyValue& v : probes) {
      auto found = g.index_manager()->get(name, index::IndexQuery{index::IndexQuery::Equals{v.clone()}});
      ASSERT_TRUE(found) << found.error().display();
      std::set<Uuid> got(found->begin(), found->end());
      EXPECT_EQ(got.size(), found->size()) << name << " lists an id twice for " << v.debug_string();
      EXPECT_EQ(got, scanned(g, property, v)) << name << " " << v.debug_string();
    }
  }
  // The B-tree answers ranges as the scan does too.
  auto range = g.index_manager()->get("P_k", index::IndexQuery{index::IndexQuery::Range{I(1), I(2)}});
  ASSERT_TRUE(range);
  std::set<Uuid> want = scanned(g, "k", I(1));
  for (const Uuid& u : scanned(g, "k", I(2))) want.insert(u);
  EXPECT_EQ(std::set<Uuid>(range->begin(), range->end()), want);
  // The stored property index, read raw: no entry of a record that no
  // longer holds a value of that key text.
  for (const PropertyValue& v : bulk ? std::vector<PropertyValue>{} : probes) {
    auto raw = g.storage()->property_index_ids("n", v);
    ASSERT_TRUE(raw);
    std::set<Uuid> listed(raw->begin(), raw->end());
    for (const Uuid& u : listed) {
      auto node = g.storage()->get_node(u);
      ASSERT_TRUE(node) << "entry of a deleted node";
      ASSERT_TRUE(node->properties.contains("n")) << "entry of a dropped property";
      EXPECT_EQ(storage::keys::value_text(node->properties.at("n")), storage::keys::value_text(v))
          << "entry of a replaced value";
    }
  }
  EXPECT_EQ(g.index_manager()->list().size(), 2u);
  for (const auto& record : g.index_manager()->list()) {
    std::string property = record.property;
    uint64_t with_property = 0;
    auto nodes = g.storage()->scan_current_nodes();
    for (const Node& n : *nodes) {
      with_property += n.label == "P" && n.properties.contains(property);
    }
    EXPECT_EQ(record.size, with_property) << record.name;
  }
}

class IndexMaintenanceTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    g_.emplace(make_graph(dir_.path(), GetParam(), {}, std::make_shared<index::IndexManager>(std::nullopt)));
    ASSERT_TRUE(create_index(g(), "P", "k", index::IndexType::BTree));
    ASSERT_TRUE(create_index(g(), "P", "n", index::IndexType::Hash));
  }
  Graph& g() { return *g_; }
  TempDir dir_;
  std::optional<Graph> g_;
};

TEST_P(IndexMaintenanceTest, EveryWritePathKeepsIndexesEqualToAScan) {
  expect_indexes_match_scan(g(), "empty");
  ASSERT_TRUE(commit(g(), {person(1, {{"k", I(1)}, {"n", S("a")}}), person(2, {{"k", I(1)}, {"n", S("b")}}),
                           person(3, {{"k", I(2)}}, "Q")}));
  expect_indexes_match_scan(g(), "commit creates");
  ASSERT_TRUE(commit(g(), {person(1, {{"k", I(2)}, {"n", S("b")}}), person(2, {{"k", I(1)}})}));
  expect_indexes_match_scan(g(), "commit replaces values, drops a property");
  ASSERT_TRUE(commit(g(), {person(1, {{"k", I(2)}, {"n", S("b")}}, "Q"), person(3, {{"k", I(3)}})}));
  expect_indexes_match_scan(g(), "commit moves nodes between labels");
  ASSERT_TRUE(commit(g(), {person(4, {{"k", S("1")}, {"n", I(1)}})}, {}, {id(2)}));
  expect_indexes_match_scan(g(), "commit deletes, key texts shared by 1 and \"1\"");
  ASSERT_TRUE(commit(g(), {person(4, {{"k", I(1)}, {"n", S("1")}})}));
  expect_indexes_match_scan(g(), "commit swaps 1 and \"1\"");

  ASSERT_TRUE(g().submit_write(WriteOp{WriteOp::PutNode{person(5, {{"k", I(3)}, {"n", S("c")}}), false}}));
  ASSERT_TRUE(g().submit_write(WriteOp{WriteOp::PutNode{person(5, {{"k", I(2)}, {"n", S("c")}}), false}}));
  expect_indexes_match_scan(g(), "single puts");
  ASSERT_TRUE(g().submit_write(WriteOp{WriteOp::DeleteNode{id(5)}}));
  expect_indexes_match_scan(g(), "single delete");

  auto up = upsert::upsert_one(g(), {"P", "n", {{"n", S("a")}, {"k", I(3)}}, std::nullopt, {}});
  ASSERT_TRUE(up) << up.error().display();
  expect_indexes_match_scan(g(), "upsert creates");
  up = upsert::upsert_one(g(), {"P", "n", {{"n", S("a")}, {"k", I(1)}}, std::nullopt, {}});
  ASSERT_TRUE(up) << up.error().display();
  expect_indexes_match_scan(g(), "upsert updates");
  ASSERT_TRUE(upsert::delete_by_key(g(), "P", "n", S("a")));
  expect_indexes_match_scan(g(), "delete by key");

  BulkLoader loader(g(), 100);
  loader.add_node(person(6, {{"k", I(1)}, {"n", S("a")}}));
  loader.add_node(person(4, {{"k", I(2)}}));  // over a committed node
  loader.add_node(person(6, {{"k", I(2)}, {"n", S("c")}}));  // twice in one flush
  ASSERT_TRUE(loader.finish());
  expect_indexes_match_scan(g(), "bulk flush", true);
}

TEST_P(IndexMaintenanceTest, RePutEdgeContinuesItsVersions) {
  ASSERT_TRUE(commit(g(), {node(1), node(2)}, {edge(1, 1, 2)}));
  ASSERT_TRUE(commit(g(), {}, {edge(1, 1, 2)}));
  ASSERT_TRUE(commit(g(), {}, {}, {}, {id(1001)}));
  ASSERT_TRUE(commit(g(), {}, {edge(1, 1, 2)}));
  auto versions = g().storage()->db().open_tree("versioned_edges");
  std::vector<VersionedEdge> chain;
  for (uint64_t v = 1; v <= 4; ++v) {
    auto raw = versions->get(storage::keys::edge_version(id(1001), v));
    ASSERT_TRUE(raw);
    if (!*raw) break;
    chain.push_back(*VersionedEdge::from_msgpack((*raw)->bytes()));
  }
  ASSERT_EQ(chain.size(), 3u) << "re-put and re-created edges add versions 2 and 3";
  EXPECT_EQ(chain[1].prev_version, 1u);
  EXPECT_EQ(chain[0].valid_to, chain[1].valid_from);
  ASSERT_TRUE(chain[1].valid_to);
  EXPECT_LT(*chain[1].valid_to, chain[2].valid_from);
  EXPECT_EQ(chain[2].prev_version, 2u);
  EXPECT_FALSE(chain[2].valid_to);
  auto current = g().storage()->db().open_tree("versioned_edges_current")->get(id(1001).to_string());
  ASSERT_TRUE(current && *current);
  EXPECT_EQ(VersionedEdge::from_msgpack((*current)->bytes())->version, 3u);
  // Adjacency still lists the edge once.
  EXPECT_EQ(g().outgoing_adjacency().map.at(id(1)), std::vector<Uuid>{id(1001)});
}

INSTANTIATE_TEST_SUITE_P(Applier, IndexMaintenanceTest, ::testing::Bool());

}  // namespace
}  // namespace zudizid::graph::testing
