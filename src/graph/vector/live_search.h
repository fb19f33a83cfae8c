// Nearest-neighbour answers that name only nodes that still exist.
//
// An embedding index is built from the stored embeddings, which deleting a
// node leaves in place, so an index may hold points of deleted nodes. A
// search skips those before they take one of the k places, and asks the
// index for more while skipped points left places empty and the index holds
// further points: k answers come back whenever the index finds k live nodes.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "graph/vector/hnsw_index.h"

namespace zudizid::graph {

// Up to k (node id, cosine distance) pairs of existing nodes, nearest first,
// each search with an ef of at least `ef`. The query rule and its error are
// HnswIndex::search's; a failing existence read fails the search.
DbResult<std::vector<HnswIndex::Hit>> search_live_nodes(const Graph& graph, const HnswIndex& index,
                                                        std::span<const float> query, uint64_t k, uint64_t ef);

}  // namespace zudizid::graph
