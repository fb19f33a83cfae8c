// Eight threads commit random transactions at every isolation level. The
// final stored state must equal the committed transactions of the log
// replayed in commit order, Serializable increments of one counter must not
// be lost, and nothing may hang beyond the lock manager's deadlock detector.
#include <gtest/gtest.h>

#include <map>
#include <random>
#include <thread>

#include "graph_fixture.h"

namespace zudizid::graph::testing {
namespace {

using transaction::IsolationLevel;
using transaction::Transaction;

constexpr int kThreads = 8;
constexpr int kNodes = 24;
constexpr int kCounter = 500;

struct Model {
  std::map<Uuid, Node> nodes;
  std::map<Uuid, Edge> edges;

  void drop_node(const Uuid& id) {
    nodes.erase(id);
    std::erase_if(edges, [&](const auto& kv) { return kv.second.source == id || kv.second.target == id; });
  }
};

// Replays the committed transactions of the log in commit order.
Model replay(const std::vector<wal::WalRecord>& records) {
  std::map<uint64_t, std::vector<const wal::WalRecord*>> open;
  Model m;
  for (const wal::WalRecord& r : records) {
    auto tx = r.tx_id();
    if (!tx) continue;
    if (!r.get_if<wal::Commit>()) {
      open[*tx].push_back(&r);
      continue;
    }
    for (const wal::WalRecord* w : open[*tx]) {
      if (const auto* de = w->get_if<wal::DeleteEdge>()) m.edges.erase(de->edge_id);
      if (const auto* dn = w->get_if<wal::DeleteNode>()) m.drop_node(dn->node_id);
      if (const auto* in = w->get_if<wal::InsertNode>()) m.nodes[in->node.id] = in->node;
      if (const auto* ie = w->get_if<wal::InsertEdge>()) m.edges[ie->edge.id] = ie->edge;
    }
    open.erase(*tx);
  }
  return m;
}

TEST(GraphStress, RandomTransactionsMatchTheLogReplay) {
  TempDir dir;
  Graph g = make_graph(dir.path(), true, {std::chrono::milliseconds(300), std::chrono::milliseconds(10)});
  ASSERT_TRUE(commit(g, {node(kCounter, {{"n", PropertyValue::integer(0)}})}));

  std::atomic<int64_t> increments{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(1234 + t);
      auto pick = [&](int n) { return static_cast<int>(rng() % n); };
      for (int round = 0; round < 150; ++round) {
        const auto level = static_cast<IsolationLevel>(round % 4);
        auto tx = Transaction::begin(host(g));
        tx->set_isolation(level);
        bool counter = false;
        if (level == IsolationLevel::Serializable && pick(2) == 0) {
          auto c = tx->get_node(id(kCounter));
          if (c) {
            Node next = *c;
            next.properties["n"] = PropertyValue::integer(c->properties.at("n").as_int() + 1);
            counter = static_cast<bool>(tx->add_node(std::move(next)));
          }
        } else {
          for (int k = 0, ops = 1 + pick(4); k < ops; ++k) {
            const int a = pick(kNodes), b = pick(kNodes);
            switch (pick(5)) {
              case 0:
              case 1:
                (void)tx->add_node(node(a, {{"v", PropertyValue::integer(pick(1000))}, {"t", PropertyValue::integer(t)}}));
                break;
              case 2:
                if (tx->get_node(id(a))) (void)tx->delete_node(id(a));
                break;
              case 3:
                (void)tx->add_edge(Edge{id(2000 + a * kNodes + b), id(a), id(b), "E", {}});
                break;
              case 4:
                if (g.get_edge(id(2000 + a * kNodes + b))) (void)tx->delete_edge(id(2000 + a * kNodes + b));
                break;
            }
          }
        }
        auto r = Transaction::commit(std::move(tx));
        if (r && counter) increments.fetch_add(1);
      }
    });
  }
  for (auto& th : threads) th.join();

  Model model = replay(*g.wal().read_all());
  auto nodes = g.scan_current_nodes();
  ASSERT_TRUE(nodes);
  ASSERT_EQ(nodes->size(), model.nodes.size());
  for (const Node& n : *nodes) EXPECT_EQ(n, model.nodes.at(n.id));
  auto edges = g.scan_edges();
  ASSERT_TRUE(edges);
  ASSERT_EQ(edges->size(), model.edges.size());
  for (const Edge& e : *edges) EXPECT_EQ(e, model.edges.at(e.id));
  EXPECT_EQ(g.get_node(id(kCounter))->properties.at("n").as_int(), increments.load());
  EXPECT_GT(increments.load(), 0);

  // The in-memory adjacency lists exactly the stored edges.
  size_t listed = 0;
  for (const auto& [source, list] : g.outgoing_adjacency().map) {
    for (const Uuid& e : list) {
      ++listed;
      EXPECT_EQ(model.edges.at(e).source, source);
    }
  }
  EXPECT_EQ(listed, model.edges.size());
  EXPECT_FALSE(g.write_stop());
}

}  // namespace
}  // namespace zudizid::graph::testing
