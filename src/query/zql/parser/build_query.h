// Builder from a `query` node to a Query: clause by clause in text order; the
// first error of any clause ends the build.
#pragma once

#include "query/zql/parser/ast.h"
#include "query/zql/parser/build_error.h"
#include "query/zql/parser/parse_tree.h"

namespace zudizid::query::zql::parser {

DbResult<ast::Query> build_query(const grammar::ParseNode& node);

}  // namespace zudizid::query::zql::parser
