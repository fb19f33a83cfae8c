// Stored embeddings of nodes, edges and path references against an
// in-memory graph: the vector rule, existence checks, keys and scans.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "graph/embeddings.h"
#include "graph/open.h"
#include "graph/upsert/upsert.h"
#include "storage/storage_keys.h"
#include "transaction/transaction.h"

namespace zudizid::graph {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

class EngineEmbeddings : public ::testing::Test {
 protected:
  void SetUp() override {
    auto g = open_in_memory(Profile::Default);
    ASSERT_TRUE(g.has_value()) << g.error().display();
    g_.emplace(std::move(*g));
    a_ = Uuid::new_v4();
    b_ = Uuid::new_v4();
    e_ = Uuid::new_v4();
    auto tx = transaction::Transaction::begin(std::make_shared<Graph>(g_->clone()));
    ASSERT_TRUE(tx->add_node(Node{a_, "L", {}, NodeKind::Individual}));
    ASSERT_TRUE(tx->add_node(Node{b_, "L", {}, NodeKind::Individual}));
    ASSERT_TRUE(tx->add_edge(Edge{e_, a_, b_, "E", {}}));
    auto r = transaction::Transaction::commit(std::move(tx));
    ASSERT_TRUE(r.has_value()) << r.error().display();
  }
  const storage::Storage& st() const { return *g_->storage(); }

  std::optional<Graph> g_;
  Uuid a_, b_, e_;
};

TEST(EmbeddingVectorRule, RefusesWhatCosineCannotCompare) {
  struct Case {
    std::vector<float> v;
    const char* fault;  // nullptr: accepted
  };
  const Case cases[] = {
      {{1.0f}, nullptr},
      {{0.0f, -2.5f, 0.0f}, nullptr},
      {{1e-30f, 1.0f}, nullptr},
      {{}, "embedding vector is empty"},
      {{0.0f, 0.0f}, "embedding vector has zero norm (cosine distance is undefined for it)"},
      {{-0.0f}, "embedding vector has zero norm (cosine distance is undefined for it)"},
      // Every square rounds to zero in 32-bit floats: the kernels see a zero norm.
      {{1e-30f, -1e-30f}, "embedding vector has zero norm (cosine distance is undefined for it)"},
      {{1.0f, kNaN}, "embedding vector component 1 is not finite"},
      {{kInf}, "embedding vector component 0 is not finite"},
      {{0.0f, 0.0f, -kInf}, "embedding vector component 2 is not finite"},
      {{1.0f, 1e20f}, "embedding vector component 1 is too large (its square overflows 32-bit floats)"},
  };
  for (const Case& c : cases) {
    auto fault = embedding_vector_fault(c.v);
    if (c.fault) {
      EXPECT_EQ(fault, std::optional<std::string>(c.fault));
    } else {
      EXPECT_EQ(fault, std::nullopt) << *fault;
    }
  }
}

TEST_F(EngineEmbeddings, NodeEmbeddingStoreReplaceAndRefusals) {
  ASSERT_TRUE(add_node_embedding(*g_, a_, {1, 2, 0}, "m"));
  ASSERT_TRUE(add_node_embedding(*g_, a_, {3, 4, 5}, "m"));
  ASSERT_TRUE(add_node_embedding(*g_, a_, {9}, "other"));
  auto got = get_node_embedding(*g_, a_, "m");
  ASSERT_TRUE(got.has_value()) << got.error().display();
  EXPECT_EQ(got->vector, (std::vector<float>{3, 4, 5}));
  EXPECT_EQ(got->version, 1u);
  EXPECT_EQ(get_node_embedding(*g_, a_, "other")->vector, std::vector<float>{9});
  EXPECT_FALSE(*has_node_embedding(st(), a_, "M")) << "model names are case-sensitive";

  // A refused vector leaves the stored one in place.
  auto zero = add_node_embedding(*g_, a_, {0, 0, 0}, "m");
  ASSERT_FALSE(zero.has_value());
  EXPECT_EQ(zero.error().display(), "embedding vector has zero norm (cosine distance is undefined for it)");
  auto nan = add_node_embedding(*g_, a_, {kNaN}, "m");
  ASSERT_FALSE(nan.has_value());
  // The model's first vector set its length.
  auto shorter = add_node_embedding(*g_, a_, {1, 2}, "m");
  ASSERT_FALSE(shorter.has_value());
  EXPECT_EQ(shorter.error().display(), "embedding vector has length 2, but model 'm' holds node vectors of length 3");
  EXPECT_EQ(get_node_embedding(*g_, a_, "m")->vector, (std::vector<float>{3, 4, 5}));

  Uuid ghost = Uuid::new_v4();
  auto missing = add_node_embedding(*g_, ghost, {1}, "m");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().display(), "Node not found: " + ghost.to_string());
  auto absent = get_node_embedding(*g_, ghost, "m");
  ASSERT_FALSE(absent.has_value());
  EXPECT_EQ(absent.error().display(), "Embedding not found for node " + ghost.to_string() + " model m");
}

TEST_F(EngineEmbeddings, EdgeEmbeddingNeedsTheEdgeAndKeepsItsOwnKey) {
  ASSERT_TRUE(add_edge_embedding(*g_, e_, {1, 2}, "m"));
  ASSERT_TRUE(add_edge_embedding(*g_, e_, {2, 1}, "m"));
  auto got = get_edge_embedding(st(), e_, "m");
  ASSERT_TRUE(got.has_value()) << got.error().display();
  EXPECT_EQ(got->edge_id, e_);
  EXPECT_EQ(got->vector, (std::vector<float>{2, 1}));
  EXPECT_EQ(got->version, 1u);
  // The "e:" prefix keeps the edge's record apart from a node's under the same id text.
  EXPECT_FALSE(*has_node_embedding(st(), e_, "m"));
  EXPECT_TRUE(*has_edge_embedding(st(), e_, "m"));

  Uuid ghost = Uuid::new_v4();
  auto missing = add_edge_embedding(*g_, ghost, {1}, "m");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().display(), "Edge not found: " + ghost.to_string());
  EXPECT_FALSE(*has_edge_embedding(st(), ghost, "m"));

  auto empty = add_edge_embedding(*g_, e_, {}, "m");
  ASSERT_FALSE(empty.has_value());
  EXPECT_EQ(empty.error().display(), "embedding vector is empty");
  EXPECT_EQ(get_edge_embedding(st(), e_, "m")->vector, (std::vector<float>{2, 1}));
  auto absent = get_edge_embedding(st(), e_, "x");
  ASSERT_FALSE(absent.has_value());
  EXPECT_EQ(absent.error().display(), "Embedding not found for edge " + e_.to_string() + " model x");
}

TEST_F(EngineEmbeddings, PathReferenceVectorRule) {
  struct Case {
    std::vector<float> v;
    const char* error;  // nullptr: stored
  };
  const Case cases[] = {
      {{0.5f, -1.0f}, nullptr},
      {{}, "Query execution error: PathReferenceEmbedding E-8 cannot persist an empty vector"},
      {{0.0f, -0.0f}, "Query execution error: PathReferenceEmbedding E-8 cannot persist a zero-norm vector"},
      {{1e-30f, 1e-30f}, "Query execution error: PathReferenceEmbedding E-8 cannot persist a zero-norm vector"},
      {{1.0f, kNaN},
       "Query execution error: PathReferenceEmbedding E-8 cannot persist a vector with a non-finite norm"},
      {{kInf}, "Query execution error: PathReferenceEmbedding E-8 cannot persist a vector with a non-finite norm"},
      {{3e19f}, "Query execution error: PathReferenceEmbedding E-8 cannot persist a vector with a non-finite norm"},
  };
  for (const Case& c : cases) {
    auto r = add_path_reference_embedding(*g_, "ref", "nm", "em", c.v);
    if (c.error) {
      ASSERT_FALSE(r.has_value());
      EXPECT_EQ(r.error().display(), c.error);
      // The storage write applies the same rule to records built elsewhere.
      auto direct = st().put_path_reference_embedding(PathReferenceEmbedding{"direct", "nm", "em", c.v, 1});
      ASSERT_FALSE(direct.has_value());
      EXPECT_EQ(direct.error().display(), c.error);
    } else {
      EXPECT_TRUE(r.has_value()) << r.error().display();
    }
  }
  auto scanned = scan_path_reference_embeddings(st(), "nm", "em");
  ASSERT_TRUE(scanned.has_value());
  ASSERT_EQ(scanned->size(), 1u) << "only the accepted vector was stored";
  EXPECT_EQ(scanned->front().vector, (std::vector<float>{0.5f, -1.0f}));
}

TEST_F(EngineEmbeddings, PathReferencesReadAndScanByModelPair) {
  uint64_t before = unix_seconds_now();
  for (const char* name : {"zeta", "alpha", "mid"}) ASSERT_TRUE(add_path_reference_embedding(*g_, name, "n", "e", {1}));
  // Model names that extend or share a prefix with the requested pair.
  ASSERT_TRUE(add_path_reference_embedding(*g_, "alpha", "n2", "e", {2}));
  ASSERT_TRUE(add_path_reference_embedding(*g_, "alpha", "n", "e2", {3}));
  ASSERT_TRUE(add_path_reference_embedding(*g_, "beta", "", "", {4}));
  // Same three names: replaced.
  ASSERT_TRUE(add_path_reference_embedding(*g_, "mid", "n", "e", {5}));
  EXPECT_FALSE(add_path_reference_embedding(*g_, "mid", "n", "e", {5, 6})) << "the pair's references have length 1";

  auto got = get_path_reference_embedding(st(), "mid", "n", "e");
  ASSERT_TRUE(got.has_value()) << got.error().display();
  EXPECT_EQ(got->name, "mid");
  EXPECT_EQ(got->node_model, "n");
  EXPECT_EQ(got->edge_model, "e");
  EXPECT_EQ(got->vector, (std::vector<float>{5}));
  EXPECT_GE(got->created_at, before);
  EXPECT_LE(got->created_at, unix_seconds_now());

  auto scanned = scan_path_reference_embeddings(st(), "n", "e");
  ASSERT_TRUE(scanned.has_value()) << scanned.error().display();
  std::vector<std::string> names;
  for (const auto& p : *scanned) names.push_back(p.name);
  EXPECT_EQ(names, (std::vector<std::string>{"alpha", "mid", "zeta"}));
  EXPECT_EQ(scan_path_reference_embeddings(st(), "n2", "e")->size(), 1u);
  EXPECT_EQ(scan_path_reference_embeddings(st(), "", "")->size(), 1u);
  EXPECT_TRUE(scan_path_reference_embeddings(st(), "x", "e")->empty());

  auto missing = get_path_reference_embedding(st(), "mid", "n", "e3");
  ASSERT_FALSE(missing.has_value());
  EXPECT_EQ(missing.error().display(),
            "Query execution error: PathReferenceEmbedding 'mid' (node_model=n, edge_model=e3) not found");
}

TEST_F(EngineEmbeddings, ScanStopsAtAKeyThatIsNotUtf8) {
  ASSERT_TRUE(add_path_reference_embedding(*g_, "ok", "n", "e", {1}));
  auto tree = st().db().open_tree(storage::keys::kPathRefEmbeddingsTree);
  ASSERT_TRUE(tree.has_value());
  auto bytes = PathReferenceEmbedding{"x", "n", "e", {1}, 0}.to_msgpack();
  ASSERT_TRUE(tree->insert(std::string_view("\xff\0n\0e", 5),
                           std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size())));
  auto scanned = scan_path_reference_embeddings(st(), "n", "e");
  ASSERT_FALSE(scanned.has_value());
  EXPECT_EQ(scanned.error().display(), "invalid utf-8 sequence of 1 bytes from index 0");
}

TEST_F(EngineEmbeddings, UpsertRefusesABadVectorBeforeWritingTheNode) {
  using namespace upsert;
  UpsertRequest req{"Doc", "k", {{"k", PropertyValue::string("d1")}}, UpsertEmbedding{{0, 0}, "m"}, {}};
  auto r = upsert_one(*g_, req);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().display(), "embedding vector has zero norm (cosine distance is undefined for it)");
  auto nodes = g_->scan_current_nodes();
  ASSERT_TRUE(nodes.has_value());
  EXPECT_EQ(nodes->size(), 2u) << "nothing written";
}

}  // namespace
}  // namespace zudizid::graph
