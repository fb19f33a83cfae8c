#include <unordered_set>

#include "common/log.h"
#include "query/zql/executor/write/write.h"

namespace zudizid::query::zql::executor::write {

DbResult<WriteSummary> execute_delete(QueryContext& context, const ast::DeleteStmt& stmt, transaction::Transaction& tx) {
  ZLOG(Info, kTarget, "Executing DELETE statement (transactional)");
  WriteSummary summary;
  std::unordered_set<Uuid> edges_gone;
  uint64_t n = 0;
  auto seam = [&]() -> DbResult<void> {
    if (!context.before_target_write) return {};
    return context.before_target_write(n++);
  };

  if (is_relationship_pattern(stmt.pattern)) {
    auto shape = relationship_pattern_shape(stmt.pattern);
    if (!shape) return std::unexpected(std::move(shape.error()));
    auto bindings = fetch_target_bindings(context, *shape, stmt.filter, stmt.limit);
    if (!bindings) return std::unexpected(std::move(bindings.error()));
    for (const auto& b : *bindings) {
      if (!b.edge || !edges_gone.insert(b.edge->id).second) continue;
      if (auto r = seam(); !r) return std::unexpected(std::move(r.error()));
      if (auto r = tx.delete_edge(b.edge->id); !r) return std::unexpected(std::move(r.error()));
    }
    summary.edges_deleted = edges_gone.size();
    return summary;
  }

  if (stmt.pattern.elements.empty()) return summary;
  const std::string variable = node_statement_variable(stmt.pattern);
  auto nodes = fetch_target_nodes(context, std::get<ast::NodePattern>(stmt.pattern.elements.front()), variable,
                                  stmt.filter, stmt.limit);
  if (!nodes) return std::unexpected(std::move(nodes.error()));
  for (const Node& node : *nodes) {
    if (auto r = seam(); !r) return std::unexpected(std::move(r.error()));
    // Locked so that an UPDATE running beside this statement cannot bring
    // the node back after it is gone.
    auto locked = context.graph.lock_manager().acquire(tx.tx_id(), node.id, lock_manager::LockMode::Write);
    if (!locked) return std::unexpected(std::move(locked.error()));
    for (auto edges : {context.graph.get_outgoing_edges(node.id), context.graph.get_incoming_edges(node.id)}) {
      if (!edges) continue;  // the counts never fail the statement
      for (const Edge& e : *edges) edges_gone.insert(e.id);
    }
    if (auto r = tx.delete_node(node.id); !r) return std::unexpected(std::move(r.error()));
    ++summary.nodes_deleted;
  }
  summary.edges_deleted = edges_gone.size();
  return summary;
}

}  // namespace zudizid::query::zql::executor::write
