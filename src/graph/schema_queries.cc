#include "graph/schema_queries.h"

namespace zudizid::graph {

DbResult<schema::SchemaInfo> get_schema(Graph& graph) { return graph.schema_cache().get_schema(graph); }

DbResult<std::vector<std::string>> get_labels(Graph& graph) {
  auto s = get_schema(graph);
  if (!s) return std::unexpected(std::move(s.error()));
  return std::move(s->node_labels);
}

DbResult<std::vector<std::string>> get_edge_types(Graph& graph) {
  auto s = get_schema(graph);
  if (!s) return std::unexpected(std::move(s.error()));
  return std::move(s->edge_types);
}

DbResult<std::vector<std::string>> get_label_properties(Graph& graph, std::string_view label) {
  return graph.schema_cache().get_label_properties(graph, label);
}

DbResult<std::uint64_t> get_label_count(Graph& graph, std::string_view label) {
  auto s = get_schema(graph);
  if (!s) return std::unexpected(std::move(s.error()));
  auto it = s->node_counts.find(std::string(label));
  return it == s->node_counts.end() ? 0 : it->second;
}

DbResult<std::vector<std::string>> get_edge_type_properties(Graph& graph, std::string_view edge_type) {
  auto s = get_schema(graph);
  if (!s) return std::unexpected(std::move(s.error()));
  auto it = s->edge_properties.find(std::string(edge_type));
  if (it == s->edge_properties.end()) return std::vector<std::string>{};
  return std::vector<std::string>(it->second.begin(), it->second.end());
}

DbResult<std::uint64_t> get_edge_type_count(Graph& graph, std::string_view edge_type) {
  auto s = get_schema(graph);
  if (!s) return std::unexpected(std::move(s.error()));
  auto it = s->edge_counts.find(std::string(edge_type));
  return it == s->edge_counts.end() ? 0 : it->second;
}

DbResult<void> rebuild_schema(Graph& graph) { return graph.schema_cache().rebuild(graph); }

DbResult<GraphStats> get_stats(Graph& graph) { return gather_stats(graph.schema_cache(), graph); }

}  // namespace zudizid::graph
