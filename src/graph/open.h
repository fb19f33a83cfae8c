// Opening a database: a directory (created when missing) or a throw-away
// in-memory store, each under one of the three profiles.
#pragma once

#include <filesystem>

#include "graph/graph.h"
#include "graph/profile.h"
#include "storage/db_error.h"

namespace zudizid::graph {

// Engine, log "zovov.wal", index registry under "indexes", log analysis,
// adjacency, clocks, the handle with its applier, replay and adjacency
// rebuild after a crash, the class hierarchy, and the first-run banner.
DbResult<Graph> open_graph(const std::filesystem::path& path, Profile profile);
// The same on a key-value engine configured by the caller; `engine` names
// `path` (tests hand in an engine on a fault-injecting log this way).
DbResult<Graph> open_graph(const std::filesystem::path& path, Profile profile, const kelm::config::Config& engine);

// A temporary store and a log "zovov--<uuid>.wal" in the temporary
// directory; both are removed when the last handle goes.
DbResult<Graph> open_in_memory(Profile profile);

// The stored mark of the last commit timestamp whose replayed effects were
// made durable by an open; later opens replay only newer commits.
inline constexpr std::string_view kWalReplayedThroughKey = "meta:wal_replayed_through";

}  // namespace zudizid::graph
