// Builder from a `pattern` node to a Pattern: variables, labels, types,
// property maps, arrow directions and quantifier bounds.
#pragma once

#include "query/zql/parser/ast.h"
#include "query/zql/parser/build_error.h"
#include "query/zql/parser/parse_tree.h"

namespace zudizid::query::zql::parser {

// Fails with the property-value errors ("Invalid property value", "Invalid
// integer", "Invalid float"), with "Invalid quantifier bound: {}" for a bound
// that is not an unsigned 64-bit count, and with "Invalid relationship
// direction: {}" for arrow heads that point at each other (->[...]<-).
DbResult<ast::Pattern> build_pattern(const grammar::ParseNode& node);

}  // namespace zudizid::query::zql::parser
