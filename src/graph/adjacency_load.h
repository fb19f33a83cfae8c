// Loading the in-memory adjacency at open from the stored "idx:out:" and
// "idx:in:" keys, and building it from the edges when there are none.
#pragma once

#include "storage/db_error.h"
#include "storage/storage.h"

namespace zudizid::graph {

// Scans "idx:" .. "idx;" of the default tree. Keys that are neither
// "idx:out:<uuid>" nor "idx:in:<uuid>" (property-index keys among them) are
// skipped; a value that is no id list fails the load.
DbResult<storage::Adjacency> load_stored_adjacency(const storage::Storage& storage);

// The open's choice: the stored keys when there are any, otherwise a
// rebuild from the edges; logs which one it took.
DbResult<storage::Adjacency> load_adjacency_at_open(const storage::Storage& storage);

}  // namespace zudizid::graph
