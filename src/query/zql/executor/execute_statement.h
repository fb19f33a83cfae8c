// execute_statement: one ZQL text in, one StatementResult or DbError out.
//
//   auto r = execute_statement(graph, "UPDATE (n:Person {name: 'Ann'}) SET n.age = 31");
//   if (!r) return std::unexpected(r.error());
//   r->summary();  // "0 nodes created, ..., 1 nodes updated, 0 edges updated"
//
// Parses (parser::parse_statement), then dispatches by kind:
//   FIND                   execute_query (and write_export with EXPORT)
//   ADD, UPDATE, DELETE    each in a transaction of its own, committed at the
//                          end; on any error it is dropped and nothing of the
//                          statement is applied
//   CREATE / DROP INDEX    the graph's index registry
//   EXPLAIN, PROFILE       explain_plan, execute_query
//   SKETCH, COMMIT         a fixed message; nothing is run
// Every call is independent; the caller's thread runs it to the end.
#pragma once

#include <string_view>

#include "graph/graph.h"
#include "query/zql/executor/query_context.h"
#include "query/zql/executor/statement_result.h"
#include "query/zql/parser/ast.h"

namespace zudizid::query::zql::executor {

DbResult<StatementResult> execute_statement(const graph::Graph& graph, std::string_view text);

// The dispatch of a parsed statement, with the caller's context (tests use
// its seams).
DbResult<StatementResult> execute_parsed(QueryContext& context, ast::Statement statement);

}  // namespace zudizid::query::zql::executor
