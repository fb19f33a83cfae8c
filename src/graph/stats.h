// Planner statistics gathered from the schema cache: per-label and per-type
// counts, a crude distinct-value estimate per (label, property), totals and
// the average degree (edges per node, each edge counted once).
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <unordered_map>

#include "index/record_source.h"
#include "schema/schema_cache.h"
#include "storage/db_error.h"

namespace zudizid::graph {

struct GraphStats {
  std::unordered_map<std::string, std::uint64_t> label_counts;
  std::unordered_map<std::string, std::uint64_t> edge_type_counts;
  // "{label}_{property}" -> label count / 2 (integer division).
  std::unordered_map<std::string, std::uint64_t> property_cardinality;
  std::uint64_t total_nodes = 0;
  std::uint64_t total_edges = 0;
  double avg_degree = 0.0;
};

// Only a failing schema snapshot is an error; a label whose property names
// cannot be read contributes no cardinality entries.
DbResult<GraphStats> gather_stats(schema::SchemaCache& cache, index::RecordSource& source);

// The average degree as reported to callers: fixed point, two decimals.
std::string format_avg_degree(double avg_degree);

}  // namespace zudizid::graph
