#include <algorithm>
#include <unordered_map>

#include "common/log.h"
#include "query/zql/executor/operators/filters.h"
#include "query/zql/executor/where/scopes.h"
#include "query/zql/executor/write/write.h"

namespace zudizid::query::zql::executor::write {

namespace {

using lock_manager::LockMode;

// A node to update and the variables it is bound to.
struct NodeTarget {
  Node node;
  std::vector<std::string> variables;
};

bool names(const std::vector<std::string>& variables, const std::string& v) {
  return std::find(variables.begin(), variables.end(), v) != variables.end();
}

// The literal assignments; the others are logged once and left out.
std::vector<const ast::Assignment*> literal_assignments(const ast::UpdateStmt& stmt) {
  std::vector<const ast::Assignment*> out;
  for (const auto& a : stmt.assignments) {
    if (a.value.kind() == ast::Expr::Kind::Literal) {
      out.push_back(&a);
    } else {
      ZLOG(Warn, kTarget, "UPDATE SET only supports literal values for now. Expression {} ignored.",
           a.value.debug_string());
    }
  }
  return out;
}

// Sets each assignment of `variables` on `properties`; how many were set.
uint64_t assign(PropertyMap& properties, const std::vector<const ast::Assignment*>& assignments,
                const std::vector<std::string>& variables) {
  uint64_t changed = 0;
  for (const ast::Assignment* a : assignments) {
    if (!names(variables, a->variable)) continue;
    properties.insert_or_assign(a->property, a->value.get_if<ast::Expr::Literal>()->value);
    ++changed;
  }
  return changed;
}

// Locks `id` for this transaction (released at commit or drop), then calls
// the statement's test seam for the n-th target.
DbResult<void> lock_target(QueryContext& context, transaction::Transaction& tx, const Uuid& id, uint64_t n) {
  if (context.before_target_write) {
    if (auto r = context.before_target_write(n); !r) return r;
  }
  return context.graph.lock_manager().acquire(tx.tx_id(), id, LockMode::Write);
}

// Whether a node statement's target, read again under its lock, still matches.
DbResult<bool> still_matches(QueryContext& context, const ast::UpdateStmt& stmt, const Node& node,
                             const std::string& variable) {
  const auto& pattern = std::get<ast::NodePattern>(stmt.pattern.elements.front());
  if (pattern.label && node.label != *pattern.label) return false;
  if (!operators::has_properties(node.properties, pattern.properties)) return false;
  if (!stmt.filter) return true;
  return eval_write_condition(node, stmt.filter->condition, variable, context.graph);
}

}  // namespace

DbResult<WriteSummary> execute_update(QueryContext& context, const ast::UpdateStmt& stmt, transaction::Transaction& tx) {
  ZLOG(Info, kTarget, "Executing UPDATE statement");
  const bool relationship = is_relationship_pattern(stmt.pattern);
  std::vector<NodeTarget> nodes;
  std::vector<Edge> edges;
  std::optional<std::string> edge_var;
  std::string node_var;

  if (relationship) {
    auto shape = relationship_pattern_shape(stmt.pattern);
    if (!shape) return std::unexpected(std::move(shape.error()));
    auto bindings = fetch_target_bindings(context, *shape, stmt.filter, stmt.limit);
    if (!bindings) return std::unexpected(std::move(bindings.error()));
    edge_var = shape->edge_var;
    std::unordered_map<Uuid, size_t> node_at;
    std::unordered_map<Uuid, bool> edge_seen;
    auto add_node = [&](const Node& n, const std::string& var) {
      auto [it, fresh] = node_at.emplace(n.id, nodes.size());
      if (fresh) nodes.push_back(NodeTarget{n, {}});
      auto& vars = nodes[it->second].variables;
      if (!names(vars, var)) vars.push_back(var);
    };
    for (const auto& b : *bindings) {
      for (const auto& a : stmt.assignments) {
        if (a.variable == shape->source_var) add_node(b.source, shape->source_var);
        if (a.variable == shape->target_var) add_node(b.target, shape->target_var);
        if (edge_var && a.variable == *edge_var && b.edge && edge_seen.emplace(b.edge->id, true).second)
          edges.push_back(*b.edge);
      }
    }
  } else {
    if (stmt.pattern.elements.empty()) return WriteSummary{};
    node_var = node_statement_variable(stmt.pattern);
    auto found = fetch_target_nodes(context, std::get<ast::NodePattern>(stmt.pattern.elements.front()), node_var,
                                    stmt.filter, stmt.limit);
    if (!found) return std::unexpected(std::move(found.error()));
    for (Node& n : *found) nodes.push_back(NodeTarget{std::move(n), {node_var}});
  }

  const auto assignments = literal_assignments(stmt);
  WriteSummary summary;
  uint64_t n = 0;
  for (NodeTarget& target : nodes) {
    if (auto locked = lock_target(context, tx, target.node.id, n++); !locked) return std::unexpected(locked.error());
    // Read again under the lock: the change applies to the latest version.
    auto fresh = context.graph.node(target.node.id);
    if (!fresh) {
      if (fresh.error().kind() == DbError::Kind::NodeNotFound) continue;  // deleted meanwhile
      return std::unexpected(std::move(fresh.error()));
    }
    if (!relationship) {
      auto matches = still_matches(context, stmt, *fresh, node_var);
      if (!matches) return std::unexpected(std::move(matches.error()));
      if (!*matches) continue;
    }
    const uint64_t changed = assign(fresh->properties, assignments, target.variables);
    if (changed == 0) continue;
    if (auto r = tx.add_node(std::move(*fresh)); !r) return std::unexpected(std::move(r.error()));
    summary.properties_changed += changed;
    ++summary.nodes_updated;
  }
  for (const Edge& edge : edges) {
    if (auto locked = lock_target(context, tx, edge.id, n++); !locked) return std::unexpected(locked.error());
    auto fresh = context.graph.edge(edge.id);
    if (!fresh) {
      if (fresh.error().kind() == DbError::Kind::EdgeNotFound) continue;
      return std::unexpected(std::move(fresh.error()));
    }
    const uint64_t changed = assign(fresh->properties, assignments, {*edge_var});
    if (changed == 0) continue;
    if (auto r = tx.add_edge(std::move(*fresh)); !r) return std::unexpected(std::move(r.error()));
    summary.properties_changed += changed;
    ++summary.edges_updated;
  }
  return summary;
}

}  // namespace zudizid::query::zql::executor::write
