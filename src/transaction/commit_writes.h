// The payload of one committing transaction and the log records it becomes.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "transaction/types.h"
#include "wal/wal_record.h"

namespace zudizid::transaction {

struct CommitWrites {
  // Each deleted node with the node as committed when the commit was built.
  std::vector<std::pair<NodeId, Node>> deleted_nodes;
  // Each deleted edge with its record, so that the log can carry the whole
  // edge and replay can redo the deletion.
  std::vector<std::pair<EdgeId, Edge>> deleted_edges;
  std::vector<Node> nodes;
  std::vector<Edge> edges;
  std::uint64_t tx_id = 0;
  std::uint64_t start_timestamp = 0;
};

// The log records of one commit at commit timestamp `commit_ts`, in order:
// Begin {tx_id, start_timestamp}; DeleteEdge per deleted edge; DeleteNode per
// deleted node; InsertNode per node; InsertEdge per edge; Commit {tx_id,
// commit_ts}. Edge deletions come before node deletions: deleting a node
// removes its incident edges, so an edge the same commit deletes explicitly
// must be closed first or its deletion would find no edge. Appliers and
// replay apply a commit in this order.
std::vector<wal::WalRecord> commit_records(const CommitWrites& writes, std::uint64_t commit_ts);

}  // namespace zudizid::transaction
