#include "query/zql/parser/build_clauses.h"

#include <optional>

#include "query/zql/parser/build_expression.h"
#include "query/zql/parser/build_pattern.h"
#include "query/zql/parser/text_scan.h"

namespace zudizid::query::zql::parser {

using grammar::GrammarRule;
using grammar::ParseNode;

namespace {

DbResult<ast::Assignment> build_assignment(const ParseNode& node) {
  std::vector<std::string_view> names;
  std::optional<ast::Expr> value;
  for (ParseNode c : node.children()) {
    if (c.rule() == GrammarRule::identifier) names.push_back(c.text());
    if (c.rule() == GrammarRule::expression) {
      auto e = build_expression(c);
      if (!e) return std::unexpected(e.error());
      value = std::move(*e);
    }
  }
  if (names.size() < 2) return build_error("Invalid assignment format");
  if (!value) return build_error("Missing value in assignment");
  return ast::Assignment{std::string(names[0]), std::string(names[1]), std::move(*value)};
}

// Pattern, WHERE and LIMIT children shared by UPDATE and DELETE; the last of
// each kind wins. Child errors come first, in child order.
struct MatchParts {
  std::optional<ast::Pattern> pattern;
  std::optional<ast::WhereClause> filter;
  std::optional<ast::LimitClause> limit;
  std::vector<ast::Assignment> assignments;
};

DbResult<MatchParts> build_match_parts(const ParseNode& node) {
  MatchParts parts;
  for (ParseNode c : node.children()) {
    switch (c.rule()) {
      case GrammarRule::pattern: {
        auto p = build_pattern(c);
        if (!p) return std::unexpected(p.error());
        parts.pattern = std::move(*p);
        break;
      }
      case GrammarRule::where_clause: {
        auto w = build_where_clause(c);
        if (!w) return std::unexpected(w.error());
        parts.filter = std::move(*w);
        break;
      }
      case GrammarRule::limit_clause: {
        auto l = build_limit_clause(c);
        if (!l) return std::unexpected(l.error());
        parts.limit = *l;
        break;
      }
      case GrammarRule::assignment_list:
        for (ParseNode a : c.children()) {
          if (a.rule() != GrammarRule::assignment) continue;
          auto asg = build_assignment(a);
          if (!asg) return std::unexpected(asg.error());
          parts.assignments.push_back(std::move(*asg));
        }
        break;
      default: break;
    }
  }
  return parts;
}

}  // namespace

DbResult<ast::AddStmt> build_add_statement(const ParseNode& node) {
  for (ParseNode c : node.children()) {
    if (c.rule() != GrammarRule::pattern) continue;
    auto p = build_pattern(c);
    if (!p) return std::unexpected(p.error());
    return ast::AddStmt{std::move(*p)};
  }
  return build_error("Missing pattern in ADD");
}

DbResult<ast::DeleteStmt> build_delete_statement(const ParseNode& node) {
  auto parts = build_match_parts(node);
  if (!parts) return std::unexpected(parts.error());
  if (!parts->pattern) return build_error("Missing pattern in DELETE");
  return ast::DeleteStmt{std::move(*parts->pattern), std::move(parts->filter), parts->limit};
}

DbResult<ast::UpdateStmt> build_update_statement(const ParseNode& node) {
  auto parts = build_match_parts(node);
  if (!parts) return std::unexpected(parts.error());
  if (!parts->pattern) return build_error("Missing pattern in UPDATE");
  return ast::UpdateStmt{std::move(*parts->pattern), std::move(parts->assignments), std::move(parts->filter),
                         parts->limit};
}

DbResult<ast::WhereClause> build_where_clause(const ParseNode& node) {
  for (ParseNode c : node.children()) {
    if (c.rule() != GrammarRule::expression) continue;
    auto e = build_expression(c);
    if (!e) return std::unexpected(e.error());
    return ast::WhereClause{std::move(*e)};
  }
  return build_error("Invalid WHERE clause");
}

DbResult<ast::LimitClause> build_limit_clause(const ParseNode& node) {
  ast::LimitClause out;
  bool have_limit = false;
  for (ParseNode c : node.children()) {
    if (c.rule() != GrammarRule::number) continue;
    auto v = grammar::read_count(c.text());
    if (!v) return build_error("Invalid number in LIMIT");
    if (!have_limit) {
      out.limit = *v;
      have_limit = true;
    } else {
      out.offset = *v;
    }
  }
  return out;
}

DbResult<std::string> build_clause_text(const ParseNode& node, GrammarRule expected,
                                           std::string_view clause_name) {
  if (node.rule() != expected) return build_error("Invalid " + std::string(clause_name) + " clause");
  for (ParseNode c : node.children()) {
    if (c.rule() == GrammarRule::string) return std::string(strip_quotes(c.text()));
  }
  return build_error("Missing string payload in " + std::string(clause_name) + " clause");
}

}  // namespace zudizid::query::zql::parser
