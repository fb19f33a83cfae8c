// Semantic validation of a parsed statement: refuses combinations of clauses
// and functions that the executors cannot honour, before any data is read.
// Pure: reads the statement tree only.
//
// The first rule that fails decides the error (DbError::SemanticValidation
// with a fixed message); warnings are returned only when nothing fails.
//   Query              the query rules, in order (validate.cc)
//   Add                refused with no pattern element
//   Update             needs a SET; every SET variable bound by the pattern;
//                      warns when neither WHERE nor LIMIT bounds it
//   Delete             never refused; warns without WHERE
//   Explain, Profile   the held statement's error, no warnings
//   Sketch             the sketched statement's result
//   others             accepted
//
// Validation happens before a statement does anything: the FIND executor
// validates every query first, and ADD, UPDATE and DELETE are validated
// before their transaction begins.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "query/zql/parser/ast.h"
#include "storage/db_error.h"

namespace zudizid::query::zql::executor {

struct ValidationWarning {
  std::string message;
  // 0 GROUP BY without aggregation, 1 DELETE bounded only by LIMIT,
  // 2 DELETE or UPDATE touching every matching node.
  uint8_t kind = 0;
};

DbResult<std::vector<ValidationWarning>> validate(const ast::Statement& statement);

// A query whose FROM is exactly one pattern holding a relationship element.
bool is_path_shaped(const ast::Query& query);

}  // namespace zudizid::query::zql::executor
