// Bulk loading against a real store: flush order must not lose edges, and
// the stored adjacency keys must agree with memory after every flush, so a
// reopen (after close or after a drop without close) sees every edge.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <random>

#include "../index/fixtures.h"
#include "common/log.h"
#include "graph/adjacency_load.h"
#include "graph/bulk_load.h"
#include "graph/open.h"
#include "storage/storage_keys.h"
#include "tests/support/standin_log.h"

namespace zudizid::graph {
namespace {

using namespace zudizid::testing;
namespace fs = std::filesystem;

class EngineBulkLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(::testing::TempDir()) /
           ("engine_bulk_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "_" +
            std::to_string(::getpid()));
    fs::remove_all(dir_);
    open();
  }
  void TearDown() override {
    t_.reset();
    fs::remove_all(dir_);
  }
  void open() {
    kelm::config::Config engine = directory_config(dir_, Profile::Default);
    if (log_backend_) engine.log_backend(log_backend_);
    auto g = open_graph(dir_, Profile::Default, engine);
    ASSERT_TRUE(g.has_value()) << g.error().display();
    t_.emplace(std::move(*g));
  }
  // Drops the handle without any adjacency flush of its own (no close),
  // opens the directory again and returns the adjacency the open loaded.
  storage::Adjacency reopen() {
    t_.reset();
    open();
    storage::Adjacency adj;
    if (t_) {
      adj.outgoing = t_->outgoing_adjacency().map;
      adj.incoming = t_->incoming_adjacency().map;
    }
    return adj;
  }

  fs::path dir_;
  std::shared_ptr<kelm::pagecache::LogBackend> log_backend_;  // unset: the persistent log
  std::optional<Graph> t_;
};

TEST_F(EngineBulkLoad, NodeFlushAfterEdgeFlushKeepsTheEdges) {
  {
    BulkLoader loader(*t_, 10);
    loader.add_edge(edge(100, 1, 2, "T"));
    ASSERT_TRUE(loader.flush_edges().has_value());
    loader.add_node(node(1, "L"));
    loader.add_node(node(2, "L"));
    loader.add_node(node(3, "L"));
    ASSERT_TRUE(loader.flush_nodes().has_value());
    EXPECT_EQ(loader.total_nodes(), 3u);
    EXPECT_EQ(loader.total_edges(), 1u);
  }

  EXPECT_EQ(t_->outgoing_adjacency().map[id(1)], std::vector<Uuid>{id(100)});
  EXPECT_EQ(t_->incoming_adjacency().map[id(2)], std::vector<Uuid>{id(100)});
  EXPECT_EQ(t_->graph_version().load(), 3u);

  storage::Adjacency adj = reopen();
  EXPECT_EQ(adj.outgoing.at(id(1)), std::vector<Uuid>{id(100)});
  EXPECT_EQ(adj.incoming.at(id(2)), std::vector<Uuid>{id(100)});
  EXPECT_TRUE(adj.outgoing.at(id(3)).empty()) << "a flushed node has an (empty) entry";
}

TEST_F(EngineBulkLoad, EmptyFlushDoesNothingAndDuplicateEdgeListedTwice) {
  {
    BulkLoader loader(*t_, 4);
    {
      log::ScopedCapture cap;
      ASSERT_TRUE(loader.finish().has_value());
      EXPECT_TRUE(cap.records().empty());
    }
    EXPECT_EQ(t_->graph_version().load(), 1u);
    loader.add_edge(edge(100, 1, 2, "T"));
    ASSERT_TRUE(loader.flush_edges().has_value());
    loader.add_edge(edge(100, 1, 2, "T"));
    ASSERT_TRUE(loader.flush_edges().has_value());
    EXPECT_EQ(t_->outgoing_adjacency().map[id(1)].size(), 2u);
  }
  storage::Adjacency adj = reopen();
  EXPECT_EQ(adj.outgoing.at(id(1)).size(), 2u);
  auto edges = t_->storage()->db().open_tree("edges");
  ASSERT_TRUE(edges.has_value());
  int n = 0;
  for (auto it = edges->iter(); auto item = it.next();) ++n;
  EXPECT_EQ(n, 1);
}

TEST_F(EngineBulkLoad, EncodingFailureKeepsTheBatchBuffered) {
  BulkLoader loader(*t_, 4);
  PropertyValue deep = Int(1);
  for (int i = 0; i < 300; ++i) deep = List({deep});
  loader.add_node(node(2, "L"));
  loader.add_node(node(1, "L", {{"p", deep}}));
  EXPECT_FALSE(loader.flush_nodes().has_value());
  EXPECT_EQ(loader.buffered_nodes(), 2u) << "nothing buffered is thrown away";
  EXPECT_EQ(loader.total_nodes(), 0u);
  EXPECT_FALSE(t_->storage()->db().get("node:" + id(2).to_string())->has_value()) << "the batch is all or nothing";
  loader.drop_last_node();
  ASSERT_TRUE(loader.flush_nodes().has_value());
  EXPECT_EQ(loader.total_nodes(), 1u);
  EXPECT_TRUE(t_->storage()->db().get("node:" + id(2).to_string())->has_value());
  EXPECT_FALSE(t_->storage()->db().get("node:" + id(1).to_string())->has_value());
}

// A storage failure (the log refuses reservations) fails both flushes
// without losing a buffered entry or touching the in-memory adjacency; once
// the store works again the same loader writes everything.
TEST_F(EngineBulkLoad, StorageFailureKeepsBuffersForTheNextFlush) {
  namespace standin = kelm::pagecache::standin;
  t_.reset();
  fs::remove_all(dir_);
  log_backend_ = standin::backend();
  struct Restore {
    ~Restore() { standin::clear_faults(); }
  } restore;
  open();
  ASSERT_TRUE(t_.has_value());
  auto fail_writes = [](bool on) {
    standin::Faults f;
    if (on) {
      f.on_reserve = [](kelm::pagecache::LogKind, kelm::PageId) -> std::optional<kelm::Error> {
        return kelm::Error::io(common::IoError(common::IoErrorKind::Other, "disk full"));
      };
    }
    standin::set_faults(f);
  };
  {
    BulkLoader loader(*t_, 100);
    loader.add_node(node(1, "L"));
    loader.add_node(node(2, "L"));
    loader.add_edge(edge(100, 1, 2, "T"));
    fail_writes(true);
    auto nodes = loader.flush_nodes();
    auto edges = loader.flush_edges();
    fail_writes(false);
    ASSERT_FALSE(nodes.has_value());
    ASSERT_FALSE(edges.has_value());
    EXPECT_EQ(nodes.error().display(), "Storage error: IO error: disk full");
    loader.add_node(node(3, "L"));
    EXPECT_EQ(loader.buffered_nodes(), 3u);
    EXPECT_EQ(loader.buffered_edges(), 1u);
    EXPECT_EQ(loader.total_nodes() + loader.total_edges(), 0u);
    EXPECT_FALSE(t_->outgoing_adjacency().map.contains(id(1)));

    ASSERT_TRUE(loader.finish().has_value());
    EXPECT_EQ(loader.total_nodes(), 3u);
    EXPECT_EQ(loader.total_edges(), 1u);
    EXPECT_EQ(t_->outgoing_adjacency().map.at(id(1)), std::vector<Uuid>{id(100)}) << "listed once, not per attempt";
  }
  storage::Adjacency adj = reopen();
  ASSERT_TRUE(t_.has_value());
  EXPECT_EQ(adj.outgoing.at(id(1)), std::vector<Uuid>{id(100)});
  EXPECT_EQ(adj.incoming.at(id(2)), std::vector<Uuid>{id(100)});
  EXPECT_TRUE(adj.outgoing.at(id(3)).empty());
  t_.reset();
  standin::forget(dir_);
}

TEST_F(EngineBulkLoad, HugeBatchSizeReservesBoundedRoom) {
  BulkLoader loader(*t_, ~std::uint64_t{0});
  EXPECT_EQ(loader.batch_size(), ~std::uint64_t{0});
  EXPECT_FALSE(loader.add_node(node(1, "L"))) << "the threshold is the given size, not the reserved room";
  ASSERT_TRUE(loader.finish().has_value());
  EXPECT_EQ(loader.total_nodes(), 1u);
}

// Nodes and twice as many edges in mixed flush order: edge batches go first,
// so most edges are flushed before their endpoints and some after.
// ENGINE_BULK_NODES sets the number of nodes; the slow run takes 100k nodes
// and 200k edges.
TEST_F(EngineBulkLoad, LargeMixedOrderLoadSurvivesReopen) {
  const char* env = std::getenv("ENGINE_BULK_NODES");
  const int kNodes = env ? std::max(10, std::atoi(env)) : 10000, kEdges = 2 * kNodes, kBatch = kNodes / 10;
  std::mt19937 rng(7);
  std::uniform_int_distribution<int> pick(0, kNodes - 1);
  std::vector<Uuid> nodes(kNodes);
  for (auto& u : nodes) u = Uuid::new_v4();
  AdjacencyMap want_out, want_in;
  {
    BulkLoader loader(*t_, kBatch);
    int next_node = 0, next_edge = 0;
    while (next_node < kNodes || next_edge < kEdges) {
      // Alternate a batch of edges and a batch of nodes, edges first.
      for (int i = 0; i < kBatch * 2 && next_edge < kEdges; ++i, ++next_edge) {
        Edge e;
        e.id = Uuid::new_v4();
        e.source = nodes[pick(rng)];
        e.target = nodes[pick(rng)];
        e.edge_type = "E";
        want_out[e.source].push_back(e.id);
        want_in[e.target].push_back(e.id);
        if (loader.add_edge(std::move(e))) {
          ASSERT_TRUE(loader.flush_edges().has_value());
        }
      }
      for (int i = 0; i < kBatch && next_node < kNodes; ++i, ++next_node) {
        Node n;
        n.id = nodes[next_node];
        n.label = "N";
        if (loader.add_node(std::move(n))) {
          ASSERT_TRUE(loader.flush_nodes().has_value());
        }
      }
    }
    ASSERT_TRUE(loader.finish().has_value());
    EXPECT_EQ(loader.total_nodes(), std::uint64_t(kNodes));
    EXPECT_EQ(loader.total_edges(), std::uint64_t(kEdges));
  }
  auto check = [&](const AdjacencyMap& got, const AdjacencyMap& want) {
    std::size_t listed = 0;
    for (const auto& [node, ids] : want) {
      auto it = got.find(node);
      ASSERT_NE(it, got.end());
      ASSERT_EQ(it->second, ids);
      listed += ids.size();
    }
    EXPECT_EQ(listed, std::size_t(kEdges));
  };
  check(t_->outgoing_adjacency().map, want_out);
  check(t_->incoming_adjacency().map, want_in);
  storage::Adjacency adj = reopen();
  check(adj.outgoing, want_out);
  check(adj.incoming, want_in);
  EXPECT_EQ(adj.outgoing.size(), std::size_t(kNodes));
  // And the edge reads return every edge from the records.
  std::size_t out_edges = 0, in_edges = 0;
  for (const Uuid& n : nodes) {
    auto out = t_->get_outgoing_edges(n);
    auto in = t_->get_incoming_edges(n);
    ASSERT_TRUE(out.has_value() && in.has_value());
    out_edges += out->size();
    in_edges += in->size();
  }
  EXPECT_EQ(out_edges, std::size_t(kEdges));
  EXPECT_EQ(in_edges, std::size_t(kEdges));
}

TEST_F(EngineBulkLoad, StoredAdjacencyKeysAtOpen) {
  ASSERT_TRUE(t_->storage()->db().insert("idx:prop:L:k:1", "x").has_value());
  ASSERT_TRUE(t_->storage()->db().insert("idx:out:not-a-uuid", "x").has_value());
  {
    auto adj = load_stored_adjacency(*t_->storage());
    ASSERT_TRUE(adj.has_value());
    EXPECT_TRUE(adj->outgoing.empty() && adj->incoming.empty()) << "foreign keys in the range are skipped";
  }
  {
    // No idx keys but edges stored: rebuilt from the edges.
    log::ScopedCapture cap;
    auto e = edge(9, 1, 2, "T");
    auto bytes = e.to_msgpack();
    auto edges = t_->storage()->db().open_tree("edges");
    ASSERT_TRUE(edges->insert(std::string_view(e.id.to_string()),
                              std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size())));
    auto adj = load_adjacency_at_open(*t_->storage());
    ASSERT_TRUE(adj.has_value());
    EXPECT_EQ(adj->outgoing.at(id(1)), std::vector<Uuid>{id(9)});
    bool rebuilt = false;
    for (auto& r : cap.records()) rebuilt |= r.message == "No indices found, rebuilding from edges...";
    EXPECT_TRUE(rebuilt);
  }
  std::string key = storage::keys::out_adjacency(id(1));
  ASSERT_TRUE(t_->storage()->db().insert(key, "\x91\x01").has_value());
  EXPECT_FALSE(load_stored_adjacency(*t_->storage()).has_value()) << "a well-formed key with a bad value fails";
}

}  // namespace
}  // namespace zudizid::graph
