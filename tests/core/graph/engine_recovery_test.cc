// Log analysis, the choice of records to replay and the restored clocks.
#include <gtest/gtest.h>

#include "../index/fixtures.h"
#include "common/log.h"
#include "graph/recovery_analysis.h"

namespace zudizid::graph {
namespace {

using namespace zudizid::testing;
using wal::WalRecord;

WalRecord begin(std::uint64_t tx, std::uint64_t ts) { return WalRecord(wal::Begin{tx, ts}); }
WalRecord commit(std::uint64_t tx, std::uint64_t ts) { return WalRecord(wal::Commit{tx, ts}); }
WalRecord abort_tx(std::uint64_t tx) { return WalRecord(wal::Abort{tx}); }
WalRecord insert(std::uint64_t tx, int n) { return WalRecord(wal::InsertNode{tx, node(n, "L")}); }
WalRecord insert_edge(std::uint64_t tx, int n) { return WalRecord(wal::InsertEdge{tx, edge(n, 1, 2, "T")}); }
WalRecord checkpoint(std::uint64_t ts) { return WalRecord(wal::Checkpoint{ts, {}}); }

bool logged(const log::ScopedCapture& cap, std::string_view message) {
  for (const auto& r : cap.records())
    if (r.message == message) return true;
  return false;
}

TEST(EngineRecoveryAnalysis, Table) {
  struct Case {
    const char* name;
    std::vector<WalRecord> log;
    std::set<std::uint64_t> committed, uncommitted;
    std::uint64_t max_ts, max_tx;
  };
  const Case cases[] = {
      {"empty", {}, {}, {}, 0, 0},
      {"only begin and data", {begin(3, 7), insert(3, 1)}, {}, {3}, 7, 3},
      {"commit without begin", {insert(4, 1), commit(4, 9)}, {4}, {}, 9, 4},
      {"begin, abort", {begin(1, 2), insert(1, 1), abort_tx(1)}, {}, {}, 2, 1},
      {"checkpoint raises the timestamp only", {begin(1, 2), commit(1, 3), checkpoint(40)}, {1}, {}, 40, 1},
      {"mixed", {begin(1, 1), begin(2, 2), commit(2, 5), insert(1, 1)}, {2}, {1}, 5, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log::ScopedCapture cap;
    WalAnalysis a = analyse_wal(c.log);
    EXPECT_EQ(a.committed, c.committed);
    EXPECT_EQ(a.uncommitted, c.uncommitted);
    EXPECT_EQ(a.total_records, c.log.size());
    EXPECT_EQ(a.max_timestamp, c.max_ts);
    EXPECT_EQ(a.max_tx_id, c.max_tx);
    EXPECT_TRUE(logged(cap, "Starting WAL recovery..."));
    EXPECT_EQ(logged(cap, "WAL is empty, nothing to recover"), c.log.empty());
    if (!c.log.empty()) {
      EXPECT_TRUE(logged(cap, fmt::format("Recovery analysis: {} total records, {} committed txs, {} uncommitted txs",
                                          c.log.size(), c.committed.size(), c.uncommitted.size())));
    }
  }
}

TEST(EngineRecoveryReplay, CommittedDataInFileOrderWithLatestCommitTimestamp) {
  std::vector<WalRecord> log = {begin(1, 1), insert(1, 10), begin(2, 2), insert(2, 20),
                                insert_edge(1, 30), commit(1, 3), abort_tx(2), insert(5, 50),
                                commit(5, 4), commit(5, 6)};
  auto ops = replay_ops(log);
  ASSERT_EQ(ops.size(), 3u);
  EXPECT_EQ(ops[0].record, &log[1]);
  EXPECT_EQ(ops[0].commit_timestamp, 3u);
  EXPECT_EQ(ops[1].record, &log[4]);
  EXPECT_EQ(ops[2].record, &log[7]);
  EXPECT_EQ(ops[2].commit_timestamp, 6u) << "a later Commit of the same id wins";

  // Transactions at or below the applied watermark are never replayed again.
  auto rest = replay_ops(log, 3);
  ASSERT_EQ(rest.size(), 1u);
  EXPECT_EQ(rest[0].record, &log[7]);
  EXPECT_TRUE(replay_ops(log, 6).empty());
}

TEST(EngineRecoveryClocks, Table) {
  WalAnalysis empty;
  WalAnalysis busy;
  busy.max_timestamp = 10;
  busy.max_tx_id = 4;
  WalAnalysis full;
  full.max_timestamp = UINT64_MAX;
  full.max_tx_id = UINT64_MAX;
  struct Case {
    const char* name;
    std::optional<std::uint64_t> stored, seen;
    const WalAnalysis* a;
    std::uint64_t ts;
  };
  const Case ts_cases[] = {
      {"new database", std::nullopt, std::nullopt, &empty, 1},
      {"stored wins when larger", 50, std::nullopt, &busy, 50},
      {"log wins when larger", 5, std::nullopt, &busy, 11},
      {"no counter: ts keys and versions", std::nullopt, 30, &busy, 31},
      {"no counter: log above keys", std::nullopt, 3, &busy, 11},
      {"saturates", std::nullopt, std::nullopt, &full, UINT64_MAX},
  };
  for (const auto& c : ts_cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(restore_next_timestamp(c.stored, c.seen, *c.a), c.ts);
  }
  EXPECT_EQ(restore_next_tx_id(std::nullopt, empty), 1u);
  EXPECT_EQ(restore_next_tx_id(2, busy), 5u);
  EXPECT_EQ(restore_next_tx_id(9, busy), 9u);
  EXPECT_EQ(restore_next_tx_id(std::nullopt, full), UINT64_MAX);

  EXPECT_EQ(parse_ts_key_number("42"), 42u);
  EXPECT_EQ(parse_ts_key_number("+7"), 7u);
  for (const char* bad : {"", "+", "-1", "1a", " 1", "99999999999999999999"})
    EXPECT_FALSE(parse_ts_key_number(bad)) << bad;
}

}  // namespace
}  // namespace zudizid::graph
