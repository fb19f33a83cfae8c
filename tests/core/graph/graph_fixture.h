// A graph handle over a temporary key-value engine and a write-ahead log in
// a temporary directory.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>

#include "graph/applier/applier.h"
#include "graph/graph.h"
#include "tests/support/temp_dir.h"
#include "transaction/transaction.h"

namespace zudizid::graph::testing {

class TempDir : public ::zudizid::testing::TempDir {
 public:
  TempDir() : ::zudizid::testing::TempDir("zudizid-graph-test") {}
};

inline Graph make_graph(const std::filesystem::path& dir, bool applier = true,
                        lock_manager::LockManagerOptions locks = {},
                        std::shared_ptr<index::IndexManager> indexes = nullptr) {
  auto db = kelm::config::Config().temporary(true).flush_every_ms(std::nullopt).open();
  if (!db) {
    ADD_FAILURE() << db.error().display();
    std::abort();
  }
  auto wal = wal::Wal::open(dir / "zovov.wal");
  if (!wal) {
    ADD_FAILURE() << wal.error().display();
    std::abort();
  }
  GraphParts parts;
  parts.storage = std::make_shared<storage::Storage>(std::move(*db));
  parts.wal = std::shared_ptr<wal::Wal>(std::move(*wal));
  parts.start_applier = applier;
  parts.lock_options = locks;
  parts.index_manager = std::move(indexes);
  return Graph::build(std::move(parts));
}

inline Uuid id(int n) {
  Uuid::Bytes b{};
  b[0] = 0x9a;
  b[14] = static_cast<uint8_t>(n >> 8);
  b[15] = static_cast<uint8_t>(n);
  return Uuid(b);
}

inline Node node(int n, PropertyMap props = {}) { return Node{id(n), "L", std::move(props), NodeKind::Individual}; }
inline Edge edge(int n, int source, int target) { return Edge{id(1000 + n), id(source), id(target), "E", {}}; }

// A shared host for transactions over a clone of `g`.
inline std::shared_ptr<transaction::TransactionHost> host(const Graph& g) { return std::make_shared<Graph>(g); }

// Commits the writes in one ReadCommitted transaction.
inline DbResult<void> commit(const Graph& g, std::vector<Node> nodes, std::vector<Edge> edges = {},
                             std::vector<Uuid> delete_nodes = {}, std::vector<Uuid> delete_edges = {}) {
  auto tx = transaction::Transaction::begin(host(g));
  for (const Uuid& d : delete_nodes) EXPECT_TRUE(tx->delete_node(d));
  for (const Uuid& d : delete_edges) EXPECT_TRUE(tx->delete_edge(d));
  for (Node& n : nodes) EXPECT_TRUE(tx->add_node(std::move(n)));
  for (Edge& e : edges) EXPECT_TRUE(tx->add_edge(std::move(e)));
  return transaction::Transaction::commit(std::move(tx));
}

}  // namespace zudizid::graph::testing
