#include "transaction/commit_writes.h"

namespace zudizid::transaction {

std::vector<wal::WalRecord> commit_records(const CommitWrites& w, std::uint64_t commit_ts) {
  std::vector<wal::WalRecord> records;
  records.reserve(w.deleted_nodes.size() + w.deleted_edges.size() + w.nodes.size() + w.edges.size() + 2);
  records.push_back(wal::Begin{w.tx_id, w.start_timestamp});
  for (const auto& [id, edge] : w.deleted_edges) records.push_back(wal::DeleteEdge{w.tx_id, id, edge});
  for (const auto& [id, node] : w.deleted_nodes) records.push_back(wal::DeleteNode{w.tx_id, id, node});
  for (const Node& node : w.nodes) records.push_back(wal::InsertNode{w.tx_id, node});
  for (const Edge& edge : w.edges) records.push_back(wal::InsertEdge{w.tx_id, edge});
  records.push_back(wal::Commit{w.tx_id, commit_ts});
  return records;
}

}  // namespace zudizid::transaction
