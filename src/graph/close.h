// Closing a database from its last user-facing owner: the in-memory
// adjacency goes to the store, the write-ahead log is let finish its append
// in progress, and the key-value engine is flushed. Other clones of the
// handle (transactions, bulk loaders) stay usable afterwards.
#pragma once

#include <memory>

#include "graph/graph.h"

namespace zudizid::graph {

// Runs the close steps; the caller releases its handle afterwards, also
// after a failure.
// A failed engine flush reads "Storage flush failed: <engine error>".
DbResult<void> close_graph(Graph& graph);

}  // namespace zudizid::graph
