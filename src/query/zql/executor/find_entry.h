// The roads of FIND, EXPLAIN, PROFILE and EXPORT, called by statement
// dispatch (execute_statement.h). Their builders define these functions;
// until they do, find_entry_pending.cc answers each with a QueryExecution
// error naming the missing road.
#pragma once

#include <string>

#include "query/zql/executor/query_context.h"
#include "query/zql/executor/statement_result.h"
#include "query/zql/parser/ast.h"

namespace zudizid::query::zql::executor {

// Validates and runs one FIND query (its EXPORT clause is the caller's).
DbResult<QueryResult> execute_query(QueryContext& context, ast::Query query);

// Writes `result` as the clause asks; the outcome is kind "export".
DbResult<StatementResult> write_export(QueryResult result, const ast::ExportClause& clause);

// The plan text of EXPLAIN (and of PROFILE, for its query).
DbResult<std::string> explain_plan(QueryContext& context, const ast::Statement& statement);

}  // namespace zudizid::query::zql::executor
