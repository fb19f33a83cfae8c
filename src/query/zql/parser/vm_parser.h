// The VM sub-language of INIT, GATHER, RETURN and path_eval: texts parsed
// when a path query runs. Every operator level is built: sums and products
// group to the left, prefixes (NOT, !, -) nest one UnaryOp each, parentheses
// give the inner expression. Text after the longest match is ignored.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "query/zql/parser/ast_expr.h"
#include "query/zql/parser/build_error.h"
#include "query/zql/parser/parse_tree.h"

namespace zudizid::query::zql::parser {

// "target = expression": the target name and the expression.
DbResult<std::pair<std::string, ast::Expr>> parse_vm_assignment(std::string_view text);
DbResult<ast::Expr> parse_vm_expression(std::string_view text);
// Any VM expression node (vm_expression down to vm_primary_expression).
DbResult<ast::Expr> build_vm_expression(const grammar::ParseNode& node);

}  // namespace zudizid::query::zql::parser
