#include "graph/recovery_analysis.h"

#include <charconv>
#include <map>
#include <unordered_map>

#include "common/log.h"

namespace zudizid::graph {

WalAnalysis analyse_wal(std::span<const wal::WalRecord> records) {
  WalAnalysis out;
  ZLOG(Info, "zudizid::wal", "Starting WAL recovery...");
  if (records.empty()) {
    ZLOG(Info, "zudizid::wal", "WAL is empty, nothing to recover");
    return out;
  }
  // Open transactions: Begin seen, neither Commit nor Abort after it.
  std::map<std::uint64_t, bool> open;
  for (const wal::WalRecord& r : records) {
    ++out.total_records;
    if (auto id = r.tx_id()) out.max_tx_id = std::max(out.max_tx_id, *id);
    if (const auto* b = r.get_if<wal::Begin>()) {
      open[b->tx_id] = true;
      out.max_timestamp = std::max(out.max_timestamp, b->timestamp);
    } else if (const auto* c = r.get_if<wal::Commit>()) {
      out.committed.insert(c->tx_id);
      open.erase(c->tx_id);
      out.max_timestamp = std::max(out.max_timestamp, c->timestamp);
    } else if (const auto* a = r.get_if<wal::Abort>()) {
      open.erase(a->tx_id);
    } else if (const auto* k = r.get_if<wal::Checkpoint>()) {
      ZLOG(Debug, "zudizid::wal", "Found checkpoint in WAL");
      out.max_timestamp = std::max(out.max_timestamp, k->timestamp);
    }
  }
  for (const auto& [id, _] : open) out.uncommitted.insert(id);
  ZLOG(Info, "zudizid::wal", "Recovery analysis: {} total records, {} committed txs, {} uncommitted txs",
       out.total_records, out.committed.size(), out.uncommitted.size());
  return out;
}

namespace {

bool is_data_record(const wal::WalRecord& r) {
  return r.get_if<wal::InsertNode>() || r.get_if<wal::UpdateNode>() || r.get_if<wal::DeleteNode>() ||
         r.get_if<wal::InsertEdge>() || r.get_if<wal::DeleteEdge>();
}

}  // namespace

std::vector<ReplayOp> replay_ops(std::span<const wal::WalRecord> records, std::uint64_t applied_through) {
  std::unordered_map<std::uint64_t, std::uint64_t> commit_ts;
  for (const wal::WalRecord& r : records) {
    if (const auto* c = r.get_if<wal::Commit>()) commit_ts[c->tx_id] = c->timestamp;
  }
  std::vector<ReplayOp> ops;
  for (const wal::WalRecord& r : records) {
    if (!is_data_record(r)) continue;
    auto it = commit_ts.find(*r.tx_id());
    if (it == commit_ts.end() || it->second <= applied_through) continue;
    ops.push_back({&r, it->second});
  }
  ZLOG(Info, "zudizid::wal", "Found {} operations to replay", ops.size());
  return ops;
}

std::uint64_t restore_next_timestamp(std::optional<std::uint64_t> stored,
                                     std::optional<std::uint64_t> largest_seen,
                                     const WalAnalysis& analysis) {
  std::uint64_t from_log = saturating_next(analysis.max_timestamp);
  if (stored) return std::max(*stored, from_log);
  std::uint64_t from_store = largest_seen ? saturating_next(*largest_seen) : 1;
  return std::max(from_store, from_log);
}

std::uint64_t restore_next_tx_id(std::optional<std::uint64_t> stored, const WalAnalysis& analysis) {
  std::uint64_t from_log = saturating_next(analysis.max_tx_id);
  return stored ? std::max(*stored, from_log) : from_log;
}

std::optional<std::uint64_t> parse_ts_key_number(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t v = 0;
  auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec != std::errc() || p != text.data() + text.size()) return std::nullopt;
  return v;
}

}  // namespace zudizid::graph
