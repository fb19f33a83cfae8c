// Schema questions answered from the handle's schema cache (a full rebuild
// first while it is stale). Unknown labels and types give 0 and empty lists.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "graph/graph.h"
#include "graph/stats.h"

namespace zudizid::graph {

DbResult<schema::SchemaInfo> get_schema(Graph& graph);
DbResult<std::vector<std::string>> get_labels(Graph& graph);
DbResult<std::vector<std::string>> get_edge_types(Graph& graph);
DbResult<std::vector<std::string>> get_label_properties(Graph& graph, std::string_view label);
DbResult<std::uint64_t> get_label_count(Graph& graph, std::string_view label);
DbResult<std::vector<std::string>> get_edge_type_properties(Graph& graph, std::string_view edge_type);
DbResult<std::uint64_t> get_edge_type_count(Graph& graph, std::string_view edge_type);
DbResult<void> rebuild_schema(Graph& graph);
DbResult<GraphStats> get_stats(Graph& graph);

}  // namespace zudizid::graph
