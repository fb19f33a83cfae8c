// Group commit: batch sizes, one append per group, commit order, the
// commit-order validation contract and the applier's end.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "common/log.h"
#include "graph_fixture.h"

namespace zudizid::graph::testing {
namespace {

using namespace std::chrono_literals;

std::vector<std::string> messages(const log::ScopedCapture& capture, std::string_view target) {
  std::vector<std::string> out;
  for (const auto& r : capture.records()) {
    if (r.target == target) out.push_back(r.message);
  }
  return out;
}

void wait_queued(const Graph& g, size_t n) {
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (g.applier()->queue().queued() < n && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_EQ(g.applier()->queue().queued(), n);
}

TEST(Applier, TwentyQueuedCommitsGoAsSixteenThenFour) {
  TempDir dir;
  Graph g = make_graph(dir.path());
  g.applier()->queue().pause();
  std::vector<std::thread> committers;
  for (int k = 0; k < 20; ++k) {
    committers.emplace_back([&g, k] { EXPECT_TRUE(commit(g, {node(k)})); });
  }
  wait_queued(g, 20);
  log::ScopedCapture capture(log::Level::Debug);
  g.applier()->queue().resume();
  for (auto& t : committers) t.join();

  EXPECT_EQ(messages(capture, "zudizid::graph::applier"),
            (std::vector<std::string>{"Group commit: 16 transactions, 48 WAL records, 1 fsync",
                                      "Group commit: 4 transactions, 12 WAL records, 1 fsync"}));
  // Commit timestamps follow the log order, strictly increasing.
  uint64_t last = 0;
  size_t commits = 0;
  auto logged = g.wal().read_all();
  ASSERT_TRUE(logged);
  for (const auto& r : *logged) {
    if (const auto* c = r.get_if<wal::Commit>()) {
      EXPECT_GT(c->timestamp, last);
      last = c->timestamp;
      ++commits;
    }
  }
  EXPECT_EQ(commits, 20u);
  EXPECT_EQ(g.scan_current_nodes()->size(), 20u);
  EXPECT_EQ(*storage::Storage::get_counter(g.storage()->db(), "meta:next_timestamp"), g.next_timestamp().load());
}

TEST(Applier, ValidationSeesEarlierCommitsOfItsBatch) {
  TempDir dir;
  Graph g = make_graph(dir.path());
  const PropertyValue v = PropertyValue::integer(1);
  // A Serializable reader records the (empty) set of L nodes with p = 1 ...
  auto reader = transaction::Transaction::begin(host(g));
  reader->set_isolation(transaction::IsolationLevel::Serializable);
  EXPECT_TRUE(reader->find_nodes_by_property("L", "p", v)->empty());
  EXPECT_TRUE(reader->add_node(node(50)));

  // ... and a plain writer adds one, queued in the same batch before it.
  g.applier()->queue().pause();
  std::thread writer([&] { EXPECT_TRUE(commit(g, {node(1, {{"p", v.clone()}})})); });
  wait_queued(g, 1);
  DbResult<void> validated;
  std::thread validating([&] { validated = transaction::Transaction::commit(std::move(reader)); });
  wait_queued(g, 2);
  g.applier()->queue().resume();
  writer.join();
  validating.join();
  ASSERT_FALSE(validated);
  EXPECT_TRUE(validated.error().display().starts_with("Transaction conflict: Phantom conflict")) << validated.error().display();
  EXPECT_FALSE(*g.storage()->node_exists(id(50)));
}

TEST(Applier, ExitsWhenTheLastHandleIsDropped) {
  TempDir dir;
  log::ScopedCapture capture(log::Level::Debug);
  std::shared_ptr<applier::ApplierQueue> queue;
  {
    Graph g = make_graph(dir.path());
    queue = g.applier()->shared_queue();
    ASSERT_TRUE(commit(g, {node(1)}));
  }
  ASSERT_TRUE(queue->wait_receiver_closed(10s));
  EXPECT_EQ(messages(capture, "zudizid::graph::applier").back(),
            "Write applier task exited (all graph handles dropped)");
}

TEST(Applier, UnloggableCommitFailsAlone) {
  TempDir dir;
  Graph g = make_graph(dir.path());
  ASSERT_TRUE(commit(g, {node(1)}));
  // A record the log cannot carry fails only its own commit.
  auto nan = commit(g, {node(2, {{"f", PropertyValue::float64(std::nan(""))}})});
  ASSERT_FALSE(nan);
  EXPECT_TRUE(commit(g, {node(3)}));
  EXPECT_FALSE(*g.storage()->node_exists(id(2)));
}

}  // namespace
}  // namespace zudizid::graph::testing
