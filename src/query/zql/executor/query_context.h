// QueryContext: what one statement's executors share. Built once per
// statement after it is parsed, dropped when the statement ends.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>

#include "graph/graph.h"
#include "storage/property_value.h"

namespace zudizid::query::zql::executor {

// The counters of one path query, filled by the pattern executor.
struct PathProfile {
  uint64_t bindings_examined = 0;
  uint64_t bindings_emitted = 0;
  uint64_t frontier_states_visited = 0;
  uint64_t cycle_prunes = 0;
  uint64_t max_depth_observed = 0;

  // The counters as an Object of five Int entries in the order above.
  PropertyValue to_value() const;
};

struct QueryContext {
  explicit QueryContext(graph::Graph g) : graph(std::move(g)) {}

  graph::Graph graph;

  // Set by a path query; PROFILE takes it out. Held only for a reset or a
  // single store, never across a graph call.
  std::mutex path_profile_mu;
  std::optional<PathProfile> path_profile;

  // Takes the counters out (leaving none) as PathProfile::to_value, or none
  // when no path query ran.
  std::optional<PropertyValue> take_path_metrics();

  // Test seam: called by UPDATE and DELETE before they write their n-th
  // target (n from 0); an error fails the statement there, as any write
  // failure would. Empty outside tests.
  std::function<DbResult<void>(uint64_t n)> before_target_write;
};

}  // namespace zudizid::query::zql::executor
