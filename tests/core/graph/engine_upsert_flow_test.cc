#include <algorithm>
// Upserts and deletes by business key, schema queries and statistics,
// against an in-memory graph.
#include <gtest/gtest.h>

#include <thread>

#include "graph/bulk_load.h"
#include "graph/embeddings.h"
#include "graph/open.h"
#include "graph/reads.h"
#include "graph/schema_queries.h"
#include "graph/upsert/upsert.h"
#include "transaction/transaction.h"

namespace zudizid::graph::upsert {
namespace {

PropertyValue I(std::int64_t v) { return PropertyValue::integer(v); }
PropertyValue S(std::string v) { return PropertyValue::string(std::move(v)); }

class EngineUpsert : public ::testing::Test {
 protected:
  void SetUp() override {
    auto g = open_in_memory(Profile::Default);
    ASSERT_TRUE(g.has_value()) << g.error().display();
    g_.emplace(std::move(*g));
  }
  std::vector<Node> nodes_with(std::string_view label) {
    auto all = g_->scan_current_nodes();
    EXPECT_TRUE(all.has_value());
    std::vector<Node> out;
    for (auto& n : *all)
      if (n.label == label) out.push_back(n);
    return out;
  }
  std::optional<Graph> g_;
};

TEST_F(EngineUpsert, CreateThenUnchangedThenUpdated) {
  UpsertRequest req{"User", "email", {{"email", S("a@x")}, {"age", I(3)}}, UpsertEmbedding{{1, 2}, "m"}, {}};
  req.links.push_back(UpsertLink{"IN", "City", "name", S("Oslo"), {}, true});

  auto first = upsert_one(*g_, req);
  ASSERT_TRUE(first.has_value()) << first.error().display();
  EXPECT_EQ(first->outcome, UpsertOutcome::Created);
  auto emb = read_node_embedding(*g_->storage(), first->id, "m");
  ASSERT_TRUE(emb.has_value());
  EXPECT_EQ(emb->vector, (std::vector<float>{1, 2}));
  ASSERT_EQ(nodes_with("City").size(), 1u) << "stub created";

  auto again = upsert_one(*g_, req);
  ASSERT_TRUE(again.has_value()) << again.error().display();
  EXPECT_EQ(again->outcome, UpsertOutcome::Unchanged);
  EXPECT_EQ(again->id, first->id);
  EXPECT_EQ(nodes_with("City").size(), 1u);
  EXPECT_EQ(g_->get_outgoing_edges(first->id)->size(), 1u);

  req.embedding->vector = {1, 3};
  auto vec = upsert_one(*g_, req);
  ASSERT_TRUE(vec.has_value());
  EXPECT_EQ(vec->outcome, UpsertOutcome::Updated) << "only the embedding changed";
  EXPECT_EQ(read_node_embedding(*g_->storage(), first->id, "m")->vector, (std::vector<float>{1, 3}));

  req.props.erase("age");
  auto dropped = upsert_one(*g_, req);
  ASSERT_TRUE(dropped.has_value());
  EXPECT_EQ(dropped->outcome, UpsertOutcome::Updated);
  EXPECT_FALSE(g_->get_node(first->id)->properties.contains("age"));
  EXPECT_EQ(nodes_with("User").size(), 1u);
}

TEST_F(EngineUpsert, ErrorsWriteNothingAndReleaseTheKey) {
  UpsertRequest no_key{"User", "email", {{"name", S("x")}}, std::nullopt, {}};
  auto r = upsert_one(*g_, no_key);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().display(), "upsert: key 'email' missing from props for label 'User'");

  UpsertRequest missing_target{"User", "email", {{"email", S("b@x")}}, std::nullopt, {}};
  missing_target.links.push_back(UpsertLink{"IN", "City", "name", S("Nowhere"), {}, false});
  r = upsert_one(*g_, missing_target);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().display(),
            "Node not found: link target City.name=String(\"Nowhere\") not found (set create_target_stub to create it)");
  EXPECT_TRUE(nodes_with("User").empty()) << "a failed request writes nothing";

  {
    BulkLoader loader(*g_, 10);
    loader.add_node(Node{Uuid::new_v4(), "Dup", {{"k", I(1)}}, NodeKind::Individual});
    loader.add_node(Node{Uuid::new_v4(), "Dup", {{"k", I(1)}}, NodeKind::Individual});
    ASSERT_TRUE(loader.finish());
  }
  r = upsert_one(*g_, UpsertRequest{"Dup", "k", {{"k", I(1)}}, std::nullopt, {}});
  ASSERT_FALSE(r.has_value());
  EXPECT_TRUE(r.error().display().starts_with("Ambiguous upsert key: 2 nodes match Dup.k=")) << r.error().display();
  auto d = delete_by_key(*g_, "Dup", "k", I(1));
  ASSERT_FALSE(d.has_value());
  EXPECT_EQ(nodes_with("Dup").size(), 2u);

  // The same key works right after the failures: the key mutex was released.
  missing_target.links.clear();
  ASSERT_TRUE(upsert_one(*g_, missing_target).has_value());
}

// An update that fails after its node was written into the transaction
// leaves the stored node as it was and holds no lock on it: a serializable
// writer of the same node commits right away.
TEST_F(EngineUpsert, FailedUpdateWritesNothingAndLeavesTheNodeUnlocked) {
  auto made = upsert_one(*g_, UpsertRequest{"User", "email", {{"email", S("c@x")}, {"age", I(1)}}, std::nullopt, {}});
  ASSERT_TRUE(made.has_value()) << made.error().display();
  UpsertRequest update{"User", "email", {{"email", S("c@x")}, {"age", I(2)}}, std::nullopt, {}};
  update.links.push_back(UpsertLink{"IN", "City", "name", S("Nowhere"), {}, false});
  ASSERT_FALSE(upsert_one(*g_, update).has_value());
  EXPECT_EQ(g_->get_node(made->id)->properties.at("age"), I(1));
  EXPECT_FALSE(g_->lock_manager().holder(made->id).has_value());

  auto tx = transaction::Transaction::begin(std::make_shared<Graph>(g_->clone()));
  tx->set_isolation(transaction::IsolationLevel::Serializable);
  ASSERT_TRUE(tx->add_node(Node{made->id, "User", {{"email", S("c@x")}, {"age", I(3)}}, NodeKind::Individual}));
  ASSERT_TRUE(transaction::Transaction::commit(std::move(tx)));
  EXPECT_EQ(g_->get_node(made->id)->properties.at("age"), I(3));
}

TEST_F(EngineUpsert, UpdatingAClassKeepsItsKind) {
  Uuid cls = Uuid::new_v4();
  {
    BulkLoader loader(*g_, 10);
    loader.add_node(Node{cls, "Concept", {{"name", S("Animal")}}, NodeKind::Class});
    ASSERT_TRUE(loader.finish());
  }
  auto r = upsert_one(*g_, UpsertRequest{"Concept", "name", {{"name", S("Animal")}, {"x", I(1)}}, std::nullopt, {}});
  ASSERT_TRUE(r.has_value()) << r.error().display();
  EXPECT_EQ(r->outcome, UpsertOutcome::Updated);
  EXPECT_EQ(r->id, cls);
  EXPECT_EQ(g_->get_node(cls)->kind, NodeKind::Class);
}

TEST_F(EngineUpsert, DeleteByKey) {
  auto none = delete_by_key(*g_, "User", "id", I(1));
  ASSERT_TRUE(none.has_value());
  EXPECT_FALSE(none->has_value());
  auto made = upsert_one(*g_, UpsertRequest{"User", "id", {{"id", I(1)}}, std::nullopt, {}});
  ASSERT_TRUE(made.has_value());
  auto gone = delete_by_key(*g_, "User", "id", I(1));
  ASSERT_TRUE(gone.has_value());
  EXPECT_EQ(**gone, made->id);
  EXPECT_FALSE(g_->get_node(made->id).has_value());
}

// 8 threads x 200 upserts over 25 overlapping keys: exactly one node per key.
TEST_F(EngineUpsert, ConcurrentOverlappingKeysOneNodeEach) {
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 200; ++i) {
        std::int64_t k = (i + t * 3) % 25;
        auto r = upsert_one(*g_, UpsertRequest{"Item", "k", {{"k", I(k)}, {"v", I(k * 10)}}, std::nullopt, {}});
        if (!r) failures.fetch_add(1);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  std::map<std::int64_t, int> per_key;
  for (const Node& n : nodes_with("Item")) ++per_key[n.properties.at("k").as_int()];
  ASSERT_EQ(per_key.size(), 25u);
  for (auto [k, count] : per_key) EXPECT_EQ(count, 1) << k;
  auto again = upsert_one(*g_, UpsertRequest{"Item", "k", {{"k", I(3)}, {"v", I(30)}}, std::nullopt, {}});
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->outcome, UpsertOutcome::Unchanged);
}

}  // namespace
}  // namespace zudizid::graph::upsert

// Schema queries and statistics over the handle: answered as of the last
// rebuild; unknown names give 0 and empty lists.

namespace zudizid::graph {
namespace {

TEST(EngineSchema, QueriesAnswerFromTheCacheUntilRebuilt) {
  auto g = open_in_memory(Profile::Default);
  ASSERT_TRUE(g.has_value());
  Uuid a = Uuid::new_v4(), b = Uuid::new_v4(), c = Uuid::new_v4();
  {
    BulkLoader loader(*g, 10);
    loader.add_node(Node{a, "P", {{"name", PropertyValue::string("x")}}, NodeKind::Individual});
    loader.add_node(Node{b, "P", {}, NodeKind::Individual});
    loader.add_node(Node{c, "Q", {}, NodeKind::Individual});
    loader.add_edge(Edge{Uuid::new_v4(), a, b, "KNOWS", {{"since", PropertyValue::integer(1)}}});
    ASSERT_TRUE(loader.finish());
  }
  // Labels come in scan order, which follows the random node ids.
  auto labels = get_labels(*g).value();
  std::sort(labels.begin(), labels.end());
  EXPECT_EQ(labels, (std::vector<std::string>{"P", "Q"}));
  EXPECT_EQ(get_label_count(*g, "P").value(), 2u);
  EXPECT_EQ(get_label_count(*g, "missing").value(), 0u);
  EXPECT_EQ(get_edge_types(*g).value(), std::vector<std::string>{"KNOWS"});
  EXPECT_EQ(get_edge_type_count(*g, "KNOWS").value(), 1u);
  EXPECT_EQ(get_edge_type_properties(*g, "KNOWS").value(), std::vector<std::string>{"since"});
  EXPECT_TRUE(get_edge_type_properties(*g, "nope").value().empty());
  auto stats = get_stats(*g);
  ASSERT_TRUE(stats.has_value());
  EXPECT_EQ(format_avg_degree(stats->avg_degree), "0.33");
  EXPECT_EQ(stats->property_cardinality.at("P_name"), 1u);

  {
    BulkLoader loader(*g, 10);
    loader.add_node(Node{Uuid::new_v4(), "R", {}, NodeKind::Individual});
    ASSERT_TRUE(loader.finish());
  }
  EXPECT_EQ(get_label_count(*g, "R").value(), 0u) << "not seen until a rebuild";
  ASSERT_TRUE(rebuild_schema(*g).has_value());
  EXPECT_EQ(get_label_count(*g, "R").value(), 1u);
}

}  // namespace
}  // namespace zudizid::graph

namespace zudizid::graph {
namespace {

TEST(EngineReads, MissingIdsAndPropertyLookup) {
  auto g = open_in_memory(Profile::Default);
  ASSERT_TRUE(g.has_value());
  Uuid missing = Uuid::new_v4();
  auto n = g->get_node(missing);
  ASSERT_FALSE(n.has_value());
  EXPECT_EQ(n.error().display(), "Node not found: " + missing.to_string());
  EXPECT_TRUE(g->get_outgoing_edges(missing).value().empty());
  EXPECT_TRUE(g->get_incoming_edges(missing).value().empty());

  auto none = find_node_by_property(*g, "name", "Ada");
  ASSERT_FALSE(none.has_value());
  EXPECT_EQ(none.error().display(), "Node not found: with property name=Ada");
  auto made = upsert::upsert_one(*g, upsert::UpsertRequest{"P", "name", {{"name", PropertyValue::string("Ada")}},
                                                           std::nullopt, {}});
  ASSERT_TRUE(made.has_value());
  auto found = find_node_by_property(*g, "name", "Ada");
  ASSERT_TRUE(found.has_value()) << found.error().display();
  EXPECT_EQ(found->id, made->id);

  // Bulk-loaded nodes are not in the property index.
  BulkLoader loader(*g, 4);
  loader.add_node(Node{Uuid::new_v4(), "P", {{"name", PropertyValue::string("Bob")}}, NodeKind::Individual});
  ASSERT_TRUE(loader.finish());
  EXPECT_FALSE(find_node_by_property(*g, "name", "Bob").has_value());
}

}  // namespace
}  // namespace zudizid::graph
