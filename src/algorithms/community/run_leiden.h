// The `leiden` entry point of a query: the whole graph's Leiden partition,
// reused from the graph's Leiden slot while no node or edge has been written
// since it was computed, otherwise computed with the default LeidenCommunity
// on the blocking pool and stored there (an empty graph stores an empty map
// without reading edges or starting a task). A failed view read or join
// ("leiden detect join error: {}") leaves the slot as it was.
#pragma once

#include <cstdint>

#include "algorithms/id_index.h"
#include "storage/db_error.h"

namespace zudizid::graph {
class Graph;
}

namespace zudizid::algorithms::community {

DbResult<NodeMap<uint64_t>> run_leiden(const graph::Graph& graph);

}  // namespace zudizid::algorithms::community
