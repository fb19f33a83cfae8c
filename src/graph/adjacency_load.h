// Loading the in-memory adjacency at open from the stored "idx:out:" and
// "idx:in:" keys, and building it from the edges when there are none.
#pragma once

#include <cstddef>

#include "storage/db_error.h"
#include "storage/storage.h"

namespace zudizid::graph {

// Scans "idx:" .. "idx;" of the default tree. Keys that are neither
// "idx:out:<uuid>" nor "idx:in:<uuid>" (property-index keys among them) are
// skipped; a value that is no id list fails the load.
DbResult<storage::Adjacency> load_stored_adjacency(const storage::Storage& storage);

// Whether every record of the "edges" tree is listed in some stored
// outgoing list and in some stored incoming list. Bulk edge flushes store
// only records and leave the lists to close, so after a crash or a drop
// without close this is false and the lists must be rebuilt from the edges.
// A fingerprint of both sides settles the usual case with no sort.
DbResult<bool> stored_lists_cover_edges(const storage::Storage& storage, const storage::Adjacency& stored);

// Stores every list of both maps under "idx:out:{}" / "idx:in:{}", each key
// with the bytes Storage::put_out_adjacency / put_in_adjacency would store,
// in batches of kAdjacencyKeysPerBatch keys rather than one batch per key:
// each batch is atomic, the whole call is not.
inline constexpr std::size_t kAdjacencyKeysPerBatch = 8192;
DbResult<void> store_adjacency(const storage::Storage& storage, const storage::AdjacencyMap& outgoing,
                               const storage::AdjacencyMap& incoming);

// The open's choice: the stored keys when there are any, otherwise a
// rebuild from the edges; logs which one it took.
DbResult<storage::Adjacency> load_adjacency_at_open(const storage::Storage& storage);

}  // namespace zudizid::graph
