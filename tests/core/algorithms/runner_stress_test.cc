// Queries computing and reusing the per-graph community results while
// writers add edges: every run succeeds and numbers every node it read.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "../graph/graph_fixture.h"
#include "query/zql/executor/aggregations/precompute.h"
#include "query/zql/parser/build_statement.h"

namespace zudizid::query::zql::executor::aggregations {
namespace {

using graph::testing::edge;
using graph::testing::id;
using graph::testing::node;

TEST(RunnerStress, CommunitySlotsUnderConcurrentQueriesAndWrites) {
  graph::testing::TempDir dir;
  graph::Graph g = graph::testing::make_graph(dir.path());
  constexpr int kNodes = 40;
  std::vector<Node> nodes;
  for (int v = 1; v <= kNodes; ++v) nodes.push_back(node(v));
  ASSERT_TRUE(graph::testing::commit(g, nodes, {edge(1, 1, 2)}));
  auto statement = parser::parse_statement("FIND community(n), leiden(n), community_fast(n) FROM (n)");
  ASSERT_TRUE(statement);
  const auto& query = std::get<ast::Query>(statement->node);

  std::atomic<bool> done{false};
  std::atomic<int> failures{0};
  std::thread writer([&] {
    for (int e = 2; e < 60; ++e) {
      if (auto r = graph::testing::commit(g, {}, {edge(e, 1 + e % kNodes, 1 + (e * 7) % kNodes)}); !r) { ++failures; ADD_FAILURE() << r.error().display(); }
    }
    done = true;
  });
  std::vector<std::thread> readers;
  for (int r = 0; r < 4; ++r) {
    readers.emplace_back([&] {
      for (int i = 0; i < 15 || !done; ++i) {
        auto cache = precompute_algorithms(g, query, nodes);
        if (!cache || cache->community->size() != kNodes || cache->leiden->size() != kNodes ||
            cache->community_fast->size() != kNodes) {
          ++failures;
          if (!cache) ADD_FAILURE() << cache.error().display();
          else ADD_FAILURE() << cache->community->size() << " " << cache->leiden->size() << " " << cache->community_fast->size();
        }
      }
    });
  }
  writer.join();
  for (auto& t : readers) t.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
}  // namespace zudizid::query::zql::executor::aggregations
