// Builders from the expression and literal nodes of a statement's parse tree
// to Expr and PropertyValue. All return the value or a DbError::QueryParse.
#pragma once

#include <functional>
#include <string_view>

#include "query/zql/parser/ast_expr.h"
#include "query/zql/parser/build_error.h"
#include "query/zql/parser/parse_tree.h"
#include "storage/property_value.h"

namespace zudizid::query::zql::parser {

using grammar::ParseNode;

// `expression` or `or_expression` node. Disjunctions and conjunctions group
// to the left.
DbResult<ast::Expr> build_expression(const ParseNode& node);
// `and_expression` node.
DbResult<ast::Expr> build_and_expression(const ParseNode& node);
// `comparison_expression` node: the operand alone, or BinaryOp.
DbResult<ast::Expr> build_comparison(const ParseNode& node);
// A comparison node of either language: its `operand_rule` children built by
// `build`, with an optional `comparison_op` between two of them.
DbResult<ast::Expr> build_comparison_of(const ParseNode& node, grammar::GrammarRule operand_rule,
                                           const std::function<DbResult<ast::Expr>(const ParseNode&)>& build,
                                           std::string_view error);
// The text of a `comparison_op` node: = != < > <= >=.
DbResult<ast::BinaryOperator> parse_comparison_operator(std::string_view text);
// `additive_expression` node: sums and products grouped to the left, "!" and
// "-" prefixes as UnaryOp (a "-" in front of a number literal folds into a
// negative literal), parentheses as the inner expression.
DbResult<ast::Expr> build_operand(const ParseNode& node);
// `property_access` node: one name gives Property(name, ""), two names
// Property(variable, property); other depths are refused.
DbResult<ast::Expr> build_property_access(const ParseNode& node);
// `value` node as a Literal expression.
DbResult<ast::Expr> build_literal(const ParseNode& node);
// `value` node as a PropertyValue: String (unquoted, escapes kept), Int or
// Float (a "." makes it Float), Bool, Null.
DbResult<PropertyValue> build_property_value(const ParseNode& node);
// Removes one pair of matching surrounding quotes; never fails.
std::string_view strip_quotes(std::string_view text);

}  // namespace zudizid::query::zql::parser
