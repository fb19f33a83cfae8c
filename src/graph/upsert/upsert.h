// Keyed upserts and deletes: each request runs in a transaction of its own
// while holding its business key's mutex, so two requests for one key never
// interleave their lookup and their write.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "graph/graph.h"
#include "graph/upsert/upsert_types.h"

namespace zudizid::graph::upsert {

// Creates, replaces or leaves the node named by (label, key, props[key]),
// reconciles its links and its embedding. "unchanged" exactly when nothing
// was written. A failing request writes nothing and keeps no node lock.
DbResult<UpsertResult> upsert_one(const Graph& graph, const UpsertRequest& request);

// One after the other; the first failure ends the batch (earlier requests
// stay committed).
DbResult<std::vector<UpsertResult>> upsert_many(const Graph& graph, std::span<const UpsertRequest> requests);

// Removes the one node the business key names (with its edges); nullopt
// when there is none.
DbResult<std::optional<Uuid>> delete_by_key(const Graph& graph, std::string_view label, std::string_view key,
                                           const PropertyValue& value);

}  // namespace zudizid::graph::upsert
