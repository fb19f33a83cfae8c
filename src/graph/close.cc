#include "graph/close.h"

#include "common/log.h"

namespace zudizid::graph {

DbResult<void> close_graph(Graph& graph) {
  ZLOG(Info, "zudizid::graph", "🔒 Closing ZudizID database...");
  if (auto r = graph.flush_adjacency(); !r) return r;
  ZLOG(Debug, "zudizid::graph", "  ✓ Adjacency indices flushed");

  // Every append syncs its own records; this only waits for one in progress.
  graph.wal().flush();
  ZLOG(Debug, "zudizid::graph", "  ✓ WAL flushed");

  const kelm::Tree& tree = graph.storage()->db().default_tree();
  if (auto r = kelm::Tree::wait_flush(tree.flush_async_job()); !r) {
    return std::unexpected(DbError::message("Storage flush failed: " + r.error().display()));
  }
  ZLOG(Debug, "zudizid::graph", "  ✓ Storage flushed");
  ZLOG(Info, "zudizid::graph", "✅ Database closed successfully");
  return {};
}

}  // namespace zudizid::graph
