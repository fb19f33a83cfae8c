// Begin, buffered writes, reads by isolation level, rollback and drop.
#include "transaction/transaction.h"

#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "common/log.h"
#include "fake_graph.h"


namespace zudizid::transaction {
namespace {

using namespace std::chrono_literals;
using testing::commit_nodes;
using testing::edge;
using testing::FakeGraph;
using testing::id;
using testing::node;

PropertyMap name(std::string v) { return {{"name", PropertyValue::string(std::move(v))}}; }

std::vector<NodeId> ids_of(const std::vector<Node>& nodes) {
  std::vector<NodeId> out;
  for (const Node& n : nodes) out.push_back(n.id);
  std::sort(out.begin(), out.end());
  return out;
}

class TransactionTest : public ::testing::Test {
 protected:
  testing::TempDir dir;
  // Conflicting lock requests fail after one short slice.
  std::shared_ptr<FakeGraph> g = std::make_shared<FakeGraph>(
      dir.path(), lock_manager::LockManagerOptions{.timeout = 0ms, .retry_slice = 1ms});
};

TEST_F(TransactionTest, BeginDrawsIdThenTimestampAndRegisters) {
  auto a = Transaction::begin(g);
  auto b = Transaction::begin(g);
  EXPECT_EQ(b->tx_id(), a->tx_id() + 1);
  EXPECT_EQ(b->start_timestamp(), a->start_timestamp() + 1);
  EXPECT_EQ(a->isolation(), IsolationLevel::ReadCommitted);
  EXPECT_EQ(g->active_transactions().start_of(a->tx_id()), a->start_timestamp());
  EXPECT_EQ(g->active_transactions().start_of(b->tx_id()), b->start_timestamp());
}

TEST_F(TransactionTest, BufferedWritesKeepLastValueAndDeletesDropThem) {
  auto tx = Transaction::begin(g);
  ASSERT_TRUE(tx->add_node(node(1, "A", name("first"))));
  ASSERT_TRUE(tx->add_node(node(1, "A", name("second"))));
  ASSERT_TRUE(tx->add_edge(edge(1, 98, 99, "dangling")));  // endpoints are not looked up
  EXPECT_EQ(tx->buffered_nodes().at(id(1)).properties.at("name"), PropertyValue::string("second"));
  EXPECT_EQ(tx->tracking()->write_set.size(), 1u);

  ASSERT_TRUE(tx->delete_node(id(1)));
  ASSERT_TRUE(tx->delete_edge(edge(1, 98, 99, "").id));
  EXPECT_TRUE(tx->buffered_nodes().empty());
  EXPECT_TRUE(tx->buffered_edges().empty());
  ASSERT_TRUE(tx->add_node(node(1, "A")));  // added again: in both
  EXPECT_TRUE(tx->deleted_nodes().contains(id(1)));
  EXPECT_TRUE(tx->buffered_nodes().contains(id(1)));
}

TEST_F(TransactionTest, OperationsOnEndedTransactionFailAndChangeNothing) {
  auto tx = Transaction::begin(g);
  tx->rollback();
  EXPECT_EQ(tx->state(), TransactionState::RolledBack);
  const std::string not_active = "Transaction is not active";
  EXPECT_EQ(tx->add_node(node(1, "A")).error().display(), not_active);
  EXPECT_EQ(tx->add_edge(edge(1, 1, 2, "E")).error().display(), not_active);
  EXPECT_EQ(tx->find_nodes_by_property("A", "name", PropertyValue::null()).error().display(), not_active);
  EXPECT_EQ(tx->delete_node(id(1)).error().display(), not_active);
  EXPECT_TRUE(tx->deleted_nodes().empty());
  EXPECT_EQ(Transaction::commit(std::move(tx)).error().display(), not_active);

  auto other = Transaction::begin(g);
  other->rollback();
  EXPECT_EQ(Transaction::rollback_async(std::move(other)).error().display(), not_active);
}

TEST_F(TransactionTest, ReadCommittedFindSeesCommittedStateOnly) {
  commit_nodes(g, {node(1, "P", name("a")), node(2, "P", name("a"))});
  auto tx = Transaction::begin(g);
  ASSERT_TRUE(tx->add_node(node(3, "P", name("a"))));  // own write: not seen
  ASSERT_TRUE(tx->delete_node(id(2)));                 // own delete: still seen
  auto found = tx->find_nodes_by_property("P", "name", PropertyValue::string("a"));
  ASSERT_TRUE(found);
  EXPECT_EQ(ids_of(*found), (std::vector<NodeId>{id(1), id(2)}));
  EXPECT_TRUE(tx->tracking()->scan_records.empty());
  EXPECT_TRUE(tx->tracking()->read_set.empty());
}

TEST_F(TransactionTest, RepeatableReadFindIsStableAndSeesOwnWrites) {
  commit_nodes(g, {node(1, "P", name("a")), node(2, "P", name("a")), node(3, "P", name("a")),
                   node(4, "P", name("b"))});
  auto tx = Transaction::begin(g);
  tx->set_isolation(IsolationLevel::RepeatableRead);
  auto a = PropertyValue::string("a");
  auto first = tx->find_nodes_by_property("P", "name", a);
  ASSERT_TRUE(first);
  EXPECT_EQ(ids_of(*first), (std::vector<NodeId>{id(1), id(2), id(3)}));

  commit_nodes(g, {node(5, "P", name("a")), node(1, "P", name("changed"))});  // after our start
  ASSERT_TRUE(tx->delete_node(id(2)));
  ASSERT_TRUE(tx->add_node(node(3, "P", name("b"))));  // no longer matches in our own write

  auto again = tx->find_nodes_by_property("P", "name", a);
  ASSERT_TRUE(again);
  // 5 started matching later: not returned. 1 is read at our start
  // timestamp, 2 is deleted by us, 3 is our own non-matching version.
  EXPECT_EQ(ids_of(*again), (std::vector<NodeId>{id(1)}));
  ASSERT_TRUE(tx->find_nodes_by_property("P", "name", PropertyValue::string("b")));

  EXPECT_EQ(tx->tracking()->scan_records.size(), 2u);
  for (int n : {1, 2, 3, 4}) EXPECT_TRUE(tx->tracking()->read_set.contains(id(n))) << n;
}

TEST_F(TransactionTest, SerializableFindSkipsNodesLockedByOthers) {
  commit_nodes(g, {node(1, "P", name("a")), node(2, "P", name("a"))});
  auto writer = Transaction::begin(g);
  writer->set_isolation(IsolationLevel::Serializable);
  ASSERT_TRUE(writer->add_node(node(2, "P", name("a"))));  // Write lock on 2

  auto reader = Transaction::begin(g);
  reader->set_isolation(IsolationLevel::Serializable);
  auto found = reader->find_nodes_by_property("P", "name", PropertyValue::string("a"));
  ASSERT_TRUE(found);
  EXPECT_EQ(ids_of(*found), (std::vector<NodeId>{id(1)}));
}

TEST_F(TransactionTest, SerializableAddNodePassesLockTimeoutOnAndStaysActive) {
  auto a = Transaction::begin(g);
  a->set_isolation(IsolationLevel::Serializable);
  ASSERT_TRUE(a->add_node(node(1, "A")));
  auto b = Transaction::begin(g);
  b->set_isolation(IsolationLevel::Serializable);
  auto r = b->add_node(node(1, "A"));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), DbError::Kind::Concurrency);
  EXPECT_EQ(r.error().display(),
            fmt::format("Concurrency error: Lock timeout: tx{} waiting for Write lock on node {} (waited 0s)",
                        b->tx_id(), id(1).to_string()));
  EXPECT_EQ(b->state(), TransactionState::Active);
  EXPECT_TRUE(b->buffered_nodes().empty());
  EXPECT_TRUE(b->tracking()->write_set.empty());
}

// Every way a transaction can end frees the nodes it locked and leaves the
// registry.
TEST_F(TransactionTest, EveryEndReleasesNodeLocks) {
  enum class End { Drop, Rollback, RollbackAsync, RollbackSync, Commit, FailedCommit };
  for (End end : {End::Drop, End::Rollback, End::RollbackAsync, End::RollbackSync, End::Commit, End::FailedCommit}) {
    SCOPED_TRACE(static_cast<int>(end));
    auto tx = Transaction::begin(g);
    tx->set_isolation(IsolationLevel::Serializable);
    const std::uint64_t tx_id = tx->tx_id();
    ASSERT_TRUE(tx->add_node(node(7, "A")));
    switch (end) {
      case End::Drop: tx.reset(); break;
      case End::Rollback: tx->rollback(); break;
      case End::RollbackAsync: ASSERT_TRUE(Transaction::rollback_async(std::move(tx))); break;
      case End::RollbackSync: ASSERT_TRUE(Transaction::rollback_sync(std::move(tx))); break;
      case End::Commit: ASSERT_TRUE(Transaction::commit(std::move(tx))); break;
      case End::FailedCommit:
        ASSERT_TRUE(tx->delete_node(id(404)));
        ASSERT_FALSE(Transaction::commit(std::move(tx)));
        break;
    }
    EXPECT_EQ(g->lock_manager().holder(id(7)), std::nullopt);
    EXPECT_EQ(g->active_transactions().start_of(tx_id), std::nullopt);
    auto other = Transaction::begin(g);
    other->set_isolation(IsolationLevel::Serializable);
    EXPECT_TRUE(other->add_node(node(7, "A")));
  }
}

TEST_F(TransactionTest, DropOfActiveTransactionWarnsAndWritesNoLog) {
  auto before = g->wal().position();
  auto tx = Transaction::begin(g);
  const auto tx_id = tx->tx_id();
  ASSERT_TRUE(tx->add_node(node(1, "A")));
  log::ScopedCapture capture(log::Level::Warn);
  tx.reset();
  auto records = capture.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].target, "zudizid::transaction");
  EXPECT_EQ(records[0].message, fmt::format("Transaction {} dropped without commit - auto-rollback", tx_id));
  EXPECT_EQ(g->wal().position(), before);

  // A committed transaction drops silently.
  commit_nodes(g, {node(2, "A")});
  EXPECT_EQ(capture.records().size(), 1u);
}

// The synchronous rollback writes nothing at all, logs its start and end,
// and refuses a transaction that has already ended.
TEST_F(TransactionTest, RollbackSyncWritesNothing) {
  auto before = g->wal().position();
  auto tx = Transaction::begin(g);
  const auto tx_id = tx->tx_id();
  ASSERT_TRUE(tx->add_node(node(1, "A")));
  log::ScopedCapture capture(log::Level::Info);
  ASSERT_TRUE(Transaction::rollback_sync(std::move(tx)));
  EXPECT_EQ(g->wal().position(), before);
  EXPECT_FALSE(g->get_node(id(1)));
  std::vector<std::string> messages;
  for (const auto& r : capture.records()) {
    if (r.target == "zudizid::transaction") messages.push_back(r.message);
  }
  EXPECT_EQ(messages, (std::vector<std::string>{
                          fmt::format("Rolling back transaction {} (sync, WAL Abort NOT written \u2014 use "
                                      "rollback_async() when possible)",
                                      tx_id),
                          fmt::format("Transaction {} rolled back (sync)", tx_id)}));

  auto ended = Transaction::begin(g);
  ended->rollback();
  auto again = Transaction::rollback_sync(std::move(ended));
  ASSERT_FALSE(again);
  EXPECT_EQ(again.error().display(), "Transaction is not active");
}

TEST_F(TransactionTest, RollbackAsyncWritesAbortAndNothingElse) {
  auto tx = Transaction::begin(g);
  const auto tx_id = tx->tx_id();
  ASSERT_TRUE(tx->add_node(node(1, "A")));
  ASSERT_TRUE(tx->add_edge(edge(1, 1, 1, "E")));
  log::ScopedCapture capture(log::Level::Info);
  ASSERT_TRUE(Transaction::rollback_async(std::move(tx)));
  auto records = g->wal().read_all();
  ASSERT_TRUE(records);
  ASSERT_EQ(records->size(), 1u);
  EXPECT_EQ((*records)[0], wal::WalRecord(wal::Abort{tx_id}));
  EXPECT_FALSE(g->get_node(id(1)));
  EXPECT_EQ(g->persisted.load(), 1);
  bool closing = false;
  for (const auto& r : capture.records())
    closing |= r.message == fmt::format("Transaction {} rolled back (async, WAL Abort written)", tx_id);
  EXPECT_TRUE(closing);
}

TEST_F(TransactionTest, RollbackAsyncSucceedsWhenClocksFailToPersist) {
  g->fail_persist = true;
  auto tx = Transaction::begin(g);
  const auto tx_id = tx->tx_id();
  log::ScopedCapture capture(log::Level::Warn);
  ASSERT_TRUE(Transaction::rollback_async(std::move(tx)));
  auto records = capture.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].message,
            fmt::format("Transaction {}: failed to persist logical clocks on rollback: persist failed", tx_id));
  EXPECT_EQ(g->active_transactions().start_of(tx_id), std::nullopt);
}

}  // namespace
}  // namespace zudizid::transaction
