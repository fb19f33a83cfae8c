// Errors of the builders from parse tree to syntax tree: DbError::QueryParse
// with the builder's message (displayed as "Query parse error: {message}").
#pragma once

#include <expected>
#include <string>

#include "storage/db_error.h"

namespace zudizid::query::zql::parser {

inline std::unexpected<DbError> build_error(std::string message) {
  return std::unexpected(DbError::query_parse(std::move(message)));
}

}  // namespace zudizid::query::zql::parser
