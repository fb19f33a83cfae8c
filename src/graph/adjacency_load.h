// Loading the in-memory adjacency at open from the stored "idx:out:" and
// "idx:in:" keys, and building it from the edges when there are none.
#pragma once

#include "graph/adjacency.h"
#include "kv/db.h"
#include "storage/db_error.h"

namespace zudizid::graph {

// Scans "idx:" .. "idx;" of the default tree. Keys that are neither
// "idx:out:<uuid>" nor "idx:in:<uuid>" (property-index keys among them) are
// skipped; a value that is no id list fails the load.
DbResult<StoredAdjacency> load_stored_adjacency(const kelm::Db& db);

// Every record of the "edges" tree listed under its source and its target.
DbResult<StoredAdjacency> adjacency_from_edges(const kelm::Db& db);

// The open's choice: the stored keys when there are any, otherwise a
// rebuild from the edges; logs which one it took.
DbResult<StoredAdjacency> load_adjacency_at_open(const kelm::Db& db);

}  // namespace zudizid::graph
