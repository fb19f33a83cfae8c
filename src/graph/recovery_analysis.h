// Log analysis at open: which transactions committed, which were left
// unfinished, the clock maxima, and the data records that replay applies.
// Pure functions over the records read from the log; the store-facing
// steps of recovery use their results.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <vector>

#include "wal/wal_record.h"

namespace zudizid::graph {

struct WalAnalysis {
  std::set<std::uint64_t> committed;
  std::set<std::uint64_t> uncommitted;
  std::uint64_t total_records = 0;
  std::uint64_t max_timestamp = 0;  // of Begin, Commit and Checkpoint records
  std::uint64_t max_tx_id = 0;
};

// Logs "Starting WAL recovery...", the empty-log line, one Debug line per
// checkpoint and the summary line (targets zudizid::wal).
WalAnalysis analyse_wal(std::span<const wal::WalRecord> records);

// One data record of a committed transaction with that transaction's commit
// timestamp (a later Commit of the same id wins).
struct ReplayOp {
  const wal::WalRecord* record;
  std::uint64_t commit_timestamp;
};

// The data records of committed transactions in file order. Transactions
// whose commit timestamp is at or below `applied_through` are already in the
// store (recorded by an earlier open once its replay was durable) and are
// left out, so that a reopen never replays writes that later unlogged
// writers (bulk loads, deletes by key) have since overwritten or removed.
std::vector<ReplayOp> replay_ops(std::span<const wal::WalRecord> records,
                                 std::uint64_t applied_through = 0);

// x + 1, saturating at the largest 64-bit value.
inline std::uint64_t saturating_next(std::uint64_t x) { return x == UINT64_MAX ? x : x + 1; }

// The restored `next_timestamp`. `stored` is "meta:next_timestamp"; when it
// is absent, `largest_seen` is the largest "ts:" key or versioned-edge
// timestamp (nullopt when there is none).
std::uint64_t restore_next_timestamp(std::optional<std::uint64_t> stored,
                                     std::optional<std::uint64_t> largest_seen,
                                     const WalAnalysis& analysis);

// The restored `next_tx_id` from "meta:next_tx_id" and the log.
std::uint64_t restore_next_tx_id(std::optional<std::uint64_t> stored, const WalAnalysis& analysis);

// A "ts:" key's remainder as a decimal number (leading "+" accepted).
std::optional<std::uint64_t> parse_ts_key_number(std::string_view text);

}  // namespace zudizid::graph
