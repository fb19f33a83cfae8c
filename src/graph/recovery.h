// The store-facing steps of recovery: clock restoration from the store,
// replay of committed log records through the applier, and the adjacency
// rebuild after a crash.
#pragma once

#include <cstdint>
#include <span>

#include "graph/graph.h"
#include "graph/open.h"
#include "graph/recovery_analysis.h"

namespace zudizid::graph {

// The largest "ts:" key and versioned-edge timestamp (or valid_to), when
// "meta:next_timestamp" is not stored.
DbResult<std::optional<std::uint64_t>> largest_stored_timestamp(const storage::Storage& storage);

// Replays the committed data records newer than the stored replay mark;
// returns the number applied. Each write waits for the applier's reply.
DbResult<std::uint64_t> replay_wal(Graph& graph, std::span<const wal::WalRecord> records);

// Rebuilds both adjacency maps from the edges and writes them back, under
// the storage write lock.
DbResult<void> rebuild_adjacency(Graph& graph);

// Makes the store durable and records the replay mark.
DbResult<void> mark_replayed(Graph& graph, std::uint64_t through);

}  // namespace zudizid::graph
