// From statement text to one Statement: the parse with the rule `statement`
// and the build of the statement kind it holds. Parse failures are reported
// as "Parse error: " followed by the six-line parse error report.
#pragma once

#include <string_view>

#include "query/zql/parser/ast.h"
#include "query/zql/parser/build_error.h"
#include "query/zql/parser/parse_tree.h"

namespace zudizid::query::zql::parser {

DbResult<ast::Statement> parse_statement(std::string_view text);
// The statement of a tree parsed with the rule `statement`.
DbResult<ast::Statement> build_statement(const grammar::ParseTree& tree);

}  // namespace zudizid::query::zql::parser
