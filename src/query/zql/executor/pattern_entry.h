// The relationship-pattern road of FIND, called by execute_query for a
// query whose FROM holds a relationship element. Its builder defines it;
// until then pattern_entry_pending.cc answers with a QueryExecution error.
#pragma once

#include "query/zql/executor/query_context.h"
#include "query/zql/executor/statement_result.h"
#include "query/zql/parser/ast.h"

namespace zudizid::query::zql::executor {

DbResult<QueryResult> execute_pattern_query(QueryContext& context, ast::Query query);

}  // namespace zudizid::query::zql::executor
