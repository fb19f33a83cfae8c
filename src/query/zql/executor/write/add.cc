#include <unordered_map>

#include "common/log.h"
#include "query/zql/executor/write/write.h"

namespace zudizid::query::zql::executor::write {

DbResult<WriteSummary> execute_add(QueryContext&, const ast::AddStmt& stmt, transaction::Transaction& tx) {
  ZLOG(Info, kTarget, "Executing ADD statement (transactional)");
  WriteSummary summary;
  std::unordered_map<std::string, Uuid> bindings;
  std::optional<Uuid> previous;
  const ast::RelationshipPattern* pending = nullptr;

  for (const auto& element : stmt.pattern.elements) {
    if (const auto* rel = std::get_if<ast::RelationshipPattern>(&element)) {
      if (!previous) return std::unexpected(DbError::query_execution("Relationship in ADD pattern has no source node"));
      if (rel->direction == ast::Direction::Bidirectional)
        return std::unexpected(DbError::query_execution("Relationship in ADD pattern needs a direction: -> or <-"));
      if (rel->quantifier)
        return std::unexpected(DbError::query_execution("Relationship in ADD pattern cannot be quantified"));
      pending = rel;
      continue;
    }
    const auto& np = std::get<ast::NodePattern>(element);
    Uuid id;
    auto bound = np.variable ? bindings.find(*np.variable) : bindings.end();
    if (bound != bindings.end()) {
      id = bound->second;
    } else {
      id = Uuid::new_v4();
      Node node{id, np.label.value_or("Node"), np.properties, NodeKind::Individual};
      if (auto added = tx.add_node(std::move(node)); !added) return std::unexpected(std::move(added.error()));
      ++summary.nodes_created;
      summary.created_ids.push_back(id.to_string());
      if (np.variable) bindings.emplace(*np.variable, id);
    }
    if (pending) {
      const bool incoming = pending->direction == ast::Direction::Incoming;
      Edge edge{Uuid::new_v4(), incoming ? id : *previous, incoming ? *previous : id,
                pending->rel_type.value_or("RELATED_TO"), pending->properties};
      pending = nullptr;
      if (auto added = tx.add_edge(std::move(edge)); !added) return std::unexpected(std::move(added.error()));
      ++summary.edges_created;
    }
    previous = id;
  }
  ZLOG(Info, kTarget, "ADD buffered: {} nodes, {} edges (will apply on commit)", summary.nodes_created,
       summary.edges_created);
  return summary;
}

}  // namespace zudizid::query::zql::executor::write
