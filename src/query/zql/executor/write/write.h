// ADD, UPDATE and DELETE over a transaction the dispatcher began. They only
// buffer writes (and take node locks) in it; the dispatcher commits, or
// drops the transaction on any error, so a statement lands whole or not at
// all, logged, versioned and durable like any commit.
//
// Patterns:
// - ADD: node elements create nodes (a repeated variable reuses its node);
//   a relationship writes one edge between its neighbours, from left to
//   right for ->, right to left for <-. Undirected (-[]-) and quantified
//   relationships are refused.
// - UPDATE, DELETE: a node pattern (its label and inline map select) or
//   exactly node -> rel -> node with inline maps on all three, followed in
//   the arrow's direction; quantified and longer patterns are refused.
//   WHERE (the write road of where/scopes.h), then LIMIT and offset.
// - UPDATE assigns literals only (other values are logged and ignored); an
//   assignment applies to the nodes or edges bound to its own variable.
//   Every target is locked (Write) before it is read fresh and changed, so
//   concurrent UPDATEs of one node never lose each other's changes.
// - DELETE deletes nodes with their edges (edges_deleted counts distinct
//   edges) or, for a relationship pattern, the bound edges only.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "query/zql/executor/operators/operator.h"
#include "query/zql/executor/query_context.h"
#include "query/zql/executor/statement_result.h"
#include "query/zql/parser/ast.h"
#include "transaction/transaction.h"

namespace zudizid::query::zql::executor::write {

inline constexpr const char* kTarget = "zudizid::query::zql::executor::write";

DbResult<WriteSummary> execute_add(QueryContext& context, const ast::AddStmt& stmt, transaction::Transaction& tx);
DbResult<WriteSummary> execute_update(QueryContext& context, const ast::UpdateStmt& stmt, transaction::Transaction& tx);
DbResult<WriteSummary> execute_delete(QueryContext& context, const ast::DeleteStmt& stmt, transaction::Transaction& tx);

// ---- target selection, shared by UPDATE and DELETE

struct RelationshipPatternShape {
  const ast::NodePattern* source;
  const ast::RelationshipPattern* relationship;
  const ast::NodePattern* target;
  std::string source_var;  // "_source" when unnamed
  std::string target_var;  // "_target" when unnamed
  std::optional<std::string> edge_var;
};

// Whether the pattern holds a relationship element.
bool is_relationship_pattern(const ast::Pattern& pattern);
DbResult<RelationshipPatternShape> relationship_pattern_shape(const ast::Pattern& pattern);

// The node targets of a node pattern: start-node selection, WHERE, LIMIT.
DbResult<std::vector<Node>> fetch_target_nodes(QueryContext& context, const ast::NodePattern& pattern,
                                               std::string_view variable, const std::optional<ast::WhereClause>& where,
                                               const std::optional<ast::LimitClause>& limit);

// The bindings of a relationship pattern: start nodes, traversal, WHERE, LIMIT.
DbResult<std::vector<operators::Binding>> fetch_target_bindings(QueryContext& context,
                                                                const RelationshipPatternShape& shape,
                                                                const std::optional<ast::WhereClause>& where,
                                                                const std::optional<ast::LimitClause>& limit);

// The variable of a node statement: the first node element's that has one, else "n".
std::string node_statement_variable(const ast::Pattern& pattern);

}  // namespace zudizid::query::zql::executor::write
