#include "graph/stats.h"

#include <fmt/format.h>

namespace zudizid::graph {

DbResult<GraphStats> gather_stats(schema::SchemaCache& cache, index::RecordSource& source) {
  auto schema = cache.get_schema(source);
  if (!schema) return std::unexpected(std::move(schema.error()));
  GraphStats stats;
  stats.label_counts.insert(schema->node_counts.begin(), schema->node_counts.end());
  stats.edge_type_counts.insert(schema->edge_counts.begin(), schema->edge_counts.end());
  stats.total_nodes = schema->total_nodes;
  stats.total_edges = schema->total_edges;
  if (stats.total_nodes != 0) {
    stats.avg_degree = static_cast<double>(stats.total_edges) / static_cast<double>(stats.total_nodes);
  }
  for (const auto& [label, count] : schema->node_counts) {
    auto props = cache.get_label_properties(source, label);
    if (!props) continue;
    for (const std::string& prop : *props) {
      stats.property_cardinality[fmt::format("{}_{}", label, prop)] = count / 2;
    }
  }
  return stats;
}

std::string format_avg_degree(double avg_degree) { return fmt::format("{:.2f}", avg_degree); }

}  // namespace zudizid::graph
