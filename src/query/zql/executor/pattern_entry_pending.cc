// Stand-in for the relationship-pattern road (pattern_entry.h). The file
// goes when that road lands.
#include "query/zql/executor/pattern_entry.h"

namespace zudizid::query::zql::executor {

DbResult<QueryResult> execute_pattern_query(QueryContext&, ast::Query) {
  return std::unexpected(DbError::query_execution("Relationship patterns are not available in this build"));
}

}  // namespace zudizid::query::zql::executor
