// Builders of the write statements (ADD, UPDATE, DELETE) and of the clauses
// they share with queries (WHERE, LIMIT, and the quoted INIT / GATHER /
// RETURN texts).
#pragma once

#include <string>
#include <string_view>

#include "query/zql/parser/ast.h"
#include "query/zql/parser/build_error.h"
#include "query/zql/parser/grammar_rule.h"
#include "query/zql/parser/parse_tree.h"

namespace zudizid::query::zql::parser {

DbResult<ast::AddStmt> build_add_statement(const grammar::ParseNode& node);
DbResult<ast::UpdateStmt> build_update_statement(const grammar::ParseNode& node);
DbResult<ast::DeleteStmt> build_delete_statement(const grammar::ParseNode& node);
DbResult<ast::WhereClause> build_where_clause(const grammar::ParseNode& node);
// LIMIT n [OFFSET m]: each number an unsigned 64-bit count, else
// "Invalid number in LIMIT".
DbResult<ast::LimitClause> build_limit_clause(const grammar::ParseNode& node);
// The unquoted text of an INIT, GATHER or RETURN clause (escapes kept).
DbResult<std::string> build_clause_text(const grammar::ParseNode& node, grammar::GrammarRule expected,
                                           std::string_view clause_name);

}  // namespace zudizid::query::zql::parser
