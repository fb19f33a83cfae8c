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

struct QueryContext;

// The counters of one path query, filled by the pattern executor.
struct PathProfile {
  uint64_t bindings_examined = 0;
  uint64_t bindings_emitted = 0;
  uint64_t frontier_states_visited = 0;
  uint64_t cycle_prunes = 0;
  uint64_t max_depth_observed = 0;

  // The counters as an Object of five Int entries in the order above.
  PropertyValue to_value() const;

  // Takes the counters out of the context's slot (leaving it empty) as
  // to_value(), or none when no path query ran: PROFILE's path metrics.
  static std::optional<PropertyValue> metrics(QueryContext& context);
};

struct QueryContext {
  explicit QueryContext(graph::Graph g) : graph(std::move(g)) {}

  graph::Graph graph;

  // Set by a path query; PROFILE takes it out. Held only for a reset or a
  // single store, never across a graph call.
  std::mutex path_profile_mu;
  std::optional<PathProfile> path_profile;

  // Bindings the single-hop road of FIND pulled from its traversal, over
  // the statement (read by tests: LIMIT stops the pull).
  uint64_t hop_bindings_pulled = 0;

  // Test seam: called by UPDATE and DELETE before they write their n-th
  // target (n from 0); an error fails the statement there, as any write
  // failure would. Empty outside tests.
  std::function<DbResult<void>(uint64_t n)> before_target_write;
};

}  // namespace zudizid::query::zql::executor
