// Stand-ins for the FIND, EXPORT and planner roads (find_entry.h). The file
// goes when those roads land.
#include "query/zql/executor/find_entry.h"

namespace zudizid::query::zql::executor {

DbResult<QueryResult> execute_query(QueryContext&, ast::Query) {
  return std::unexpected(DbError::query_execution("FIND is not available in this build"));
}

DbResult<StatementResult> write_export(QueryResult, const ast::ExportClause&) {
  return std::unexpected(DbError::query_execution("EXPORT is not available in this build"));
}

DbResult<std::string> explain_plan(QueryContext&, const ast::Statement&) {
  return std::unexpected(DbError::query_execution("EXPLAIN is not available in this build"));
}

}  // namespace zudizid::query::zql::executor
