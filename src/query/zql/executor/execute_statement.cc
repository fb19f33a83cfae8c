#include "query/zql/executor/execute_statement.h"

#include <fmt/format.h>

#include <chrono>
#include <memory>

#include "graph/indexes.h"
#include "query/zql/executor/find_entry.h"
#include "query/zql/executor/validation/validate.h"
#include "query/zql/executor/write/write.h"
#include "query/zql/parser/build_statement.h"
#include "transaction/transaction.h"

namespace zudizid::query::zql::executor {

namespace {

using Kind = ast::Statement::Kind;
using transaction::Transaction;

bool writes_nothing(const Transaction& tx) {
  return tx.buffered_nodes().empty() && tx.buffered_edges().empty() && tx.deleted_nodes().empty() &&
         tx.deleted_edges().empty();
}

// ADD, UPDATE, DELETE: validated first, then one transaction each,
// committed when the body succeeds; on an error it is dropped (rolled back)
// with everything buffered. A statement that matched nothing has nothing to
// make durable: its transaction (never Serializable here, so no validation
// could fail it) ends without a log write, as its commit would have ended
// but for the Begin and Commit records.
template <class Stmt, class Body>
DbResult<StatementResult> in_transaction(QueryContext& context, const Stmt& stmt, Body body) {
  if (auto checked = validate(ast::Statement{stmt}); !checked) return std::unexpected(std::move(checked.error()));
  std::unique_ptr<Transaction> tx = Transaction::begin(std::make_shared<graph::Graph>(context.graph.clone()));
  auto summary = body(context, stmt, *tx);
  if (!summary) return std::unexpected(std::move(summary.error()));
  if (writes_nothing(*tx) && tx->isolation() != transaction::IsolationLevel::Serializable) {
    if (auto stop = context.graph.write_stop()) return std::unexpected(std::move(*stop));
    tx->rollback();
    return StatementResult::write(std::move(*summary));
  }
  if (auto committed = Transaction::commit(std::move(tx)); !committed)
    return std::unexpected(std::move(committed.error()));
  return StatementResult::write(std::move(*summary));
}

DbResult<StatementResult> run_query(QueryContext& context, ast::Query query) {
  std::optional<ast::ExportClause> export_clause = query.export_clause;
  auto result = execute_query(context, std::move(query));
  if (!result) return std::unexpected(std::move(result.error()));
  if (export_clause) return write_export(std::move(*result), *export_clause);
  return StatementResult::query(std::move(*result));
}

DbResult<StatementResult> run_profile(QueryContext& context, const ast::ProfileStmt& profile) {
  const auto* query = std::get_if<ast::Query>(&profile.statement->node);
  if (!query) {
    return std::unexpected(DbError::query_execution(
        fmt::format("PROFILE only supports queries in F2, got {}", ast::debug_string(*profile.statement))));
  }
  auto plan = explain_plan(context, *profile.statement);
  if (!plan) return std::unexpected(std::move(plan.error()));
  const auto start = std::chrono::steady_clock::now();
  auto result = execute_query(context, *query);
  const std::chrono::duration<double, std::milli> elapsed = std::chrono::steady_clock::now() - start;
  if (!result) return std::unexpected(std::move(result.error()));
  ProfileResult p;
  p.plan = std::move(*plan);
  p.columns = result->columns;
  p.path_metrics = PathProfile::metrics(context);
  p.path_query = p.path_metrics.has_value();
  p.execution_ms = elapsed.count();
  p.rows_returned = result->rows.size();
  return StatementResult::profile(std::move(p));
}

}  // namespace

DbResult<StatementResult> execute_parsed(QueryContext& context, ast::Statement statement) {
  switch (statement.kind()) {
    case Kind::Query: return run_query(context, std::move(std::get<ast::Query>(statement.node)));
    case Kind::Add: return in_transaction(context, std::get<ast::AddStmt>(statement.node), write::execute_add);
    case Kind::Update: return in_transaction(context, std::get<ast::UpdateStmt>(statement.node), write::execute_update);
    case Kind::Delete: return in_transaction(context, std::get<ast::DeleteStmt>(statement.node), write::execute_delete);
    case Kind::CreateIndex: {
      const auto& s = std::get<ast::CreateIndexStmt>(statement.node);
      auto name = graph::create_index(context.graph, s.label, s.property, s.index_type);
      if (!name) return std::unexpected(std::move(name.error()));
      return StatementResult::index(fmt::format("Index created: {}", *name));
    }
    case Kind::DropIndex: {
      const auto& s = std::get<ast::DropIndexStmt>(statement.node);
      if (auto dropped = graph::drop_index(context.graph, s.index_name); !dropped)
        return std::unexpected(std::move(dropped.error()));
      return StatementResult::index(fmt::format("Index dropped: {}", s.index_name));
    }
    case Kind::Explain: {
      auto plan = explain_plan(context, *std::get<ast::ExplainStmt>(statement.node).statement);
      if (!plan) return std::unexpected(std::move(plan.error()));
      return StatementResult::explain(std::move(*plan));
    }
    case Kind::Profile: return run_profile(context, std::get<ast::ProfileStmt>(statement.node));
    case Kind::Sketch:
      return StatementResult::message("SKETCH: not yet available via execute_statement. Use SketchManager directly.");
    case Kind::Commit:
      return StatementResult::message("COMMIT: not yet available via execute_statement. Use SketchManager directly.");
  }
  return std::unexpected(DbError::query_parse("Invalid statement"));
}

DbResult<StatementResult> execute_statement(const graph::Graph& graph, std::string_view text) {
  auto statement = parser::parse_statement(text);
  if (!statement) return std::unexpected(std::move(statement.error()));
  QueryContext context(graph.clone());
  return execute_parsed(context, std::move(*statement));
}

}  // namespace zudizid::query::zql::executor
