// Commit: validation by isolation level, the conflict texts, the log records
// of a commit, and validation in commit order.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include <functional>
#include <future>
#include <thread>

#include "common/log.h"
#include "fake_graph.h"
#include "transaction/transaction.h"

namespace zudizid::transaction {
namespace {

using namespace std::chrono_literals;
using testing::commit_nodes;
using testing::edge;
using testing::FakeGraph;
using testing::id;
using testing::node;

PropertyMap name(std::string v) { return {{"name", PropertyValue::string(std::move(v))}}; }

class CommitTest : public ::testing::Test {
 public:
  std::unique_ptr<Transaction> begin(IsolationLevel level) {
    auto tx = Transaction::begin(g);
    tx->set_isolation(level);
    return tx;
  }
  testing::TempDir dir;
  std::shared_ptr<FakeGraph> g = std::make_shared<FakeGraph>(
      dir.path(), lock_manager::LockManagerOptions{.timeout = 0ms, .retry_slice = 1ms});
};

// One scenario per conflict test. `run` prepares the committed state, lets a
// transaction at `level` do its reads and writes, commits others in between,
// and returns it for commit; `text` is the expected failure, built once the
// scenario's commit timestamps are known (empty: the commit succeeds).
TEST_F(CommitTest, ValidationConflictsByIsolationLevel) {
  struct Case {
    const char* name;
    IsolationLevel level;
    std::function<std::pair<std::unique_ptr<Transaction>, std::string>(CommitTest&, IsolationLevel)> run;
  };
  const auto write_write = [](CommitTest& t, IsolationLevel level) {
    auto tx = t.begin(level);
    std::uint64_t ts = commit_nodes(t.g, {node(1, "P")});  // committed after tx's start
    EXPECT_TRUE(tx->add_node(node(1, "P", name("mine"))));
    return std::make_pair(std::move(tx), fmt::format("Transaction conflict: Write-Write conflict on node {}: "
                                                     "modified by tx at t={}",
                                                     id(1).to_string(), ts));
  };
  const auto read_write = [](CommitTest& t, IsolationLevel level) {
    commit_nodes(t.g, {node(1, "P", name("a"))});
    auto tx = t.begin(level);
    EXPECT_EQ(tx->find_nodes_by_property("P", "name", PropertyValue::string("a"))->size(), 1u);
    commit_nodes(t.g, {node(1, "P", name("a"))});  // ReadCommitted writer: takes no lock
    return std::make_pair(std::move(tx), fmt::format("Transaction conflict: Read-Write conflict on node {}: "
                                                     "read stale data",
                                                     id(1).to_string()));
  };
  const auto deleted = [](CommitTest& t, IsolationLevel level) {
    commit_nodes(t.g, {node(1, "P")});
    auto tx = t.begin(level);
    EXPECT_TRUE(tx->delete_node(id(1)));
    std::uint64_t ts = commit_nodes(t.g, {node(1, "P", name("changed"))});
    return std::make_pair(std::move(tx), fmt::format("Transaction conflict: Delete conflict on node {}: "
                                                     "modified by tx at t={}",
                                                     id(1).to_string(), ts));
  };
  const auto phantom = [](CommitTest& t, IsolationLevel level) {
    commit_nodes(t.g, {node(1, "P", name("a"))});
    auto tx = t.begin(level);
    EXPECT_EQ(tx->find_nodes_by_property("P", "name", PropertyValue::string("a"))->size(), 1u);
    commit_nodes(t.g, {node(2, "P", name("a"))});  // a new match
    return std::make_pair(std::move(tx),
                          std::string("Transaction conflict: Phantom conflict on predicate P.name = String(\"a\"): "
                                      "result set changed during transaction"));
  };
  const auto equal_timestamp = [](CommitTest& t, IsolationLevel level) {
    commit_nodes(t.g, {node(1, "P")});
    auto tx = t.begin(level);  // starts after that commit: no conflict
    EXPECT_TRUE(tx->add_node(node(1, "P")));
    return std::make_pair(std::move(tx), std::string());
  };
  using L = IsolationLevel;
  const Case cases[] = {
      {"write-write", L::Serializable, write_write},
      {"write-write, last writer wins", L::ReadCommitted, write_write},
      {"read-write", L::Serializable, read_write},
      {"read-write not checked", L::RepeatableRead, read_write},
      {"delete", L::Serializable, deleted},
      {"delete not checked", L::ReadUncommitted, deleted},
      {"phantom predicate", L::Serializable, phantom},
      {"phantom not checked", L::RepeatableRead, phantom},
      {"write before start", L::Serializable, equal_timestamp},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir case_dir;
    g = std::make_shared<FakeGraph>(case_dir.path(),
                                    lock_manager::LockManagerOptions{.timeout = 0ms, .retry_slice = 1ms});
    auto [tx, text] = c.run(*this, c.level);
    auto tx_id = tx->tx_id();
    auto r = Transaction::commit(std::move(tx));
    if (text.empty() || c.level != L::Serializable) {
      EXPECT_TRUE(r) << r.error().display();
    } else {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().kind(), DbError::Kind::TransactionConflict);
      EXPECT_EQ(r.error().display(), text);
      EXPECT_EQ(g->commit_ts_of(tx_id), std::nullopt) << "a failed validation must apply nothing";
    }
  }
}

TEST_F(CommitTest, PhantomTestRepeatsEveryScanKind) {
  commit_nodes(g, {node(1, "A", name("x")), node(2, "B"), node(3, "C")},
               {edge(1, 1, 2, "e"), edge(2, 2, 3, "f")});
  NodeIdSet all{id(1), id(2), id(3)};
  struct Case {
    ScanRecord record;
    std::string text;  // failure text when the recorded set is empty
    ScanRecord correct;
  };
  const Case cases[] = {
      {GlobalScan{}, "Phantom conflict on global scan: node set changed during transaction", GlobalScan{all}},
      {LabelScan{"A", {}}, "Phantom conflict on label 'A': result set changed during transaction",
       LabelScan{"A", {id(1)}}},
      {PropertyScan{"name", PropertyValue::string("x"), {}},
       "Phantom conflict on property 'name': result set changed during transaction",
       PropertyScan{"name", PropertyValue::string("x"), {id(1)}}},
      {PredicateScan{"A", "name", PropertyValue::string("x"), {}},
       "Phantom conflict on predicate A.name = String(\"x\"): result set changed during transaction",
       PredicateScan{"A", "name", PropertyValue::string("x"), {id(1)}}},
      {PatternScan{"A", "e", "B", {}}, "Phantom conflict on pattern (A-[:e]->B): result set changed during transaction",
       PatternScan{"A", "e", "B", {{id(1), id(2)}}}},
      {TwoHopScan{"A", "e", "B", "f", "C", {}},
       "Phantom conflict on two-hop pattern (A-[:e]->B-[:f]->C): result set changed during transaction",
       TwoHopScan{"A", "e", "B", "f", "C", {{id(1), id(2), id(3)}}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto stale = begin(IsolationLevel::Serializable);
    stale->record_scan(c.record);
    auto r = Transaction::commit(std::move(stale));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().display(), "Transaction conflict: " + c.text);

    auto fresh = begin(IsolationLevel::Serializable);
    fresh->record_scan(c.correct);
    auto ok = Transaction::commit(std::move(fresh));
    EXPECT_TRUE(ok) << ok.error().display();
  }
}

TEST_F(CommitTest, CommitLogsEveryWriteIncludingEdgeDeletions) {
  commit_nodes(g, {node(1, "A"), node(2, "A")}, {edge(1, 1, 2, "e")});
  auto tx = begin(IsolationLevel::ReadCommitted);
  const auto tx_id = tx->tx_id();
  const auto start = tx->start_timestamp();
  ASSERT_TRUE(tx->delete_edge(edge(1, 1, 2, "e").id));
  ASSERT_TRUE(tx->delete_node(id(2)));
  ASSERT_TRUE(tx->add_node(node(3, "A")));
  ASSERT_TRUE(tx->add_edge(edge(2, 1, 3, "e")));
  const auto before = g->wal().position();
  ASSERT_TRUE(Transaction::commit(std::move(tx)));
  const auto commit_ts = *g->commit_ts_of(tx_id);

  auto all = g->wal().read_all();
  ASSERT_TRUE(all);
  std::vector<wal::WalRecord> tail;
  // The setup commit wrote 5 records; ours follow.
  tail.assign(all->begin() + 5, all->end());
  std::vector<wal::WalRecord> expected = {
      wal::WalRecord(wal::Begin{tx_id, start}),
      wal::WalRecord(wal::DeleteEdge{tx_id, edge(1, 1, 2, "e").id, edge(1, 1, 2, "e")}),
      wal::WalRecord(wal::DeleteNode{tx_id, id(2), node(2, "A")}),
      wal::WalRecord(wal::InsertNode{tx_id, node(3, "A")}),
      wal::WalRecord(wal::InsertEdge{tx_id, edge(2, 1, 3, "e")}),
      wal::WalRecord(wal::Commit{tx_id, commit_ts}),
  };
  EXPECT_EQ(tail, expected);
  EXPECT_GT(g->wal().position(), before);
  EXPECT_FALSE(g->get_edge(edge(1, 1, 2, "e").id));
}

TEST_F(CommitTest, MissingDeletedNodeOrEdgeFailsBeforeAnythingIsSent) {
  const NodeId missing = id(404);
  auto a = begin(IsolationLevel::ReadCommitted);
  ASSERT_TRUE(a->delete_node(missing));
  auto r = Transaction::commit(std::move(a));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().display(), "Node not found: " + missing.to_string());

  auto b = begin(IsolationLevel::ReadCommitted);
  ASSERT_TRUE(b->delete_edge(missing));
  r = Transaction::commit(std::move(b));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().display(), "Edge not found: " + missing.to_string());
  EXPECT_EQ(g->submitted.load(), 0);
  EXPECT_EQ(g->wal().position(), 0u);
}

TEST_F(CommitTest, EmptyTransactionCommitsBeginAndCommitRecords) {
  auto tx = begin(IsolationLevel::Serializable);
  ASSERT_TRUE(Transaction::commit(std::move(tx)));
  auto all = g->wal().read_all();
  ASSERT_TRUE(all);
  EXPECT_EQ(all->size(), 2u);
}

// Once the Commit record is durable the commit has happened: a failure of
// the steps after the append is logged, never reported to the committer.
TEST_F(CommitTest, FailuresAfterTheDurableAppendAreLoggedNotReported) {
  struct Case {
    const char* name;
    bool fail_apply, fail_persist;
    log::Level level;
    const char* text;  // {} = transaction id
  };
  const Case cases[] = {
      {"clock persist fails", false, true, log::Level::Warn,
       "Transaction {}: failed to persist logical clocks after commit: persist failed"},
      {"apply fails", true, false, log::Level::Error,
       "Transaction {}: commit is logged but applying it failed: apply failed"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    testing::TempDir d;
    auto fg = std::make_shared<FakeGraph>(d.path());
    fg->fail_apply = c.fail_apply;
    fg->fail_persist = c.fail_persist;
    auto tx = Transaction::begin(fg);
    tx->set_isolation(IsolationLevel::Serializable);
    const auto tx_id = tx->tx_id();
    ASSERT_TRUE(tx->add_node(node(1, "A")));
    log::ScopedCapture capture(log::Level::Warn);
    auto r = Transaction::commit(std::move(tx));
    ASSERT_TRUE(r) << r.error().display();
    auto records = fg->wal().read_all();
    ASSERT_TRUE(records);
    EXPECT_EQ(records->size(), 3u);  // Begin, the node, Commit
    EXPECT_EQ(fg->persisted.load(), 1);
    EXPECT_EQ(fg->get_node(id(1)).has_value(), !c.fail_apply);
    EXPECT_EQ(fg->active_transactions().start_of(tx_id), std::nullopt);
    EXPECT_EQ(fg->lock_manager().holder(id(1)), std::nullopt) << "locks must go with the committed transaction";
    bool logged = false;
    for (const auto& rec : capture.records())
      logged |= rec.level == c.level && rec.message == fmt::format(fmt::runtime(c.text), tx_id);
    EXPECT_TRUE(logged);
  }
}

// Two Serializable writers of one node: the second waits in add_node until
// the first has committed, then fails validation against its commit.
TEST(SerializableWriters, SecondWaitsForTheLockThenConflicts) {
  testing::TempDir dir;
  auto g = std::make_shared<FakeGraph>(dir.path(),
                                       lock_manager::LockManagerOptions{.timeout = 5000ms, .retry_slice = 500ms});
  auto first = Transaction::begin(g);
  first->set_isolation(IsolationLevel::Serializable);
  const auto first_id = first->tx_id();
  ASSERT_TRUE(first->add_node(node(1, "P", name("first"))));

  auto second = Transaction::begin(g);
  second->set_isolation(IsolationLevel::Serializable);
  auto waiting = std::async(std::launch::async, [&] { return second->add_node(node(1, "P", name("second"))); });
  while (!g->lock_manager().is_waiting(second->tx_id())) std::this_thread::sleep_for(1ms);
  ASSERT_TRUE(Transaction::commit(std::move(first)));
  ASSERT_TRUE(waiting.get());  // woken by the release, well before the time-out

  auto r = Transaction::commit(std::move(second));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().display(),
            fmt::format("Transaction conflict: Write-Write conflict on node {}: modified by tx at t={}",
                        id(1).to_string(), *g->commit_ts_of(first_id)));
  EXPECT_EQ(g->get_node(id(1))->properties.at("name"), PropertyValue::string("first"));
}

// A ReadCommitted writer of node 1 tries to commit while a Serializable
// reader of node 1 is being validated. Validation and the reader's commit
// timestamp are one step in commit order, so the writer lands after the
// reader, and the reader's read was not stale when it committed.
TEST_F(CommitTest, NoCommitSlipsBetweenValidationAndCommitTimestamp) {
  commit_nodes(g, {node(1, "P", name("a"))});
  auto reader = begin(IsolationLevel::Serializable);
  ASSERT_EQ(reader->find_nodes_by_property("P", "name", PropertyValue::string("a"))->size(), 1u);
  const auto reader_id = reader->tx_id();

  std::promise<void> validating;
  std::atomic<bool> once{false};
  std::future<DbResult<void>> writer;
  g->on_commit_timestamp_lookup = [&](const NodeId&) {
    if (once.exchange(true)) return;
    writer = std::async(std::launch::async, [&] {
      auto w = Transaction::begin(g);
      EXPECT_TRUE(w->add_node(node(1, "P", name("b"))));
      return Transaction::commit(std::move(w));
    });
    std::this_thread::sleep_for(50ms);  // room for the writer to race ahead
  };
  auto r = Transaction::commit(std::move(reader));
  ASSERT_TRUE(r) << r.error().display();
  ASSERT_TRUE(writer.valid());
  ASSERT_TRUE(writer.get());
  g->on_commit_timestamp_lookup = nullptr;
  EXPECT_LT(*g->commit_ts_of(reader_id), *g->last_commit_timestamp(id(1)));
}

}  // namespace
}  // namespace zudizid::transaction
