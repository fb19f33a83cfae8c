#include "query/zql/parser/vm_parser.h"

#include <optional>
#include <vector>

#include "query/zql/parser/build_expression.h"
#include "query/zql/parser/grammar.h"

namespace zudizid::query::zql::parser {

using ast::BinaryOperator;
using ast::Expr;
using grammar::GrammarRule;
using grammar::ParseNode;

namespace {

// A chain joined by one operator (OR / AND) over operands of one rule.
DbResult<Expr> build_joined(const ParseNode& node, GrammarRule operand, BinaryOperator op,
                               const char* empty_message) {
  std::optional<Expr> result;
  for (ParseNode c : node.children()) {
    if (c.rule() != operand) continue;
    auto e = build_vm_expression(c);
    if (!e) return e;
    result = result ? Expr::binary(std::move(*result), op, std::move(*e)) : std::move(*e);
  }
  if (!result) return build_error(empty_message);
  return std::move(*result);
}

// A run of operands separated by operator nodes, grouped to the left.
DbResult<Expr> build_run(const ParseNode& node, const char* what, const char* op_message,
                            std::optional<BinaryOperator> (*op_of)(GrammarRule)) {
  std::vector<ParseNode> kids(node.children().begin(), node.children().end());
  if (kids.empty()) return build_error(std::string("Invalid VM ") + what + " expression");
  auto result = build_vm_expression(kids[0]);
  if (!result) return result;
  for (std::size_t i = 1; i < kids.size(); i += 2) {
    if (i + 1 >= kids.size()) return build_error(std::string("Missing RHS in VM ") + what + " expression");
    auto op = op_of(kids[i].rule());
    if (!op) return build_error(op_message);
    auto rhs = build_vm_expression(kids[i + 1]);
    if (!rhs) return rhs;
    result = Expr::binary(std::move(*result), *op, std::move(*rhs));
  }
  return result;
}

std::optional<BinaryOperator> additive_op(GrammarRule r) {
  if (r == GrammarRule::add_op) return BinaryOperator::Add;
  if (r == GrammarRule::sub_op) return BinaryOperator::Sub;
  return std::nullopt;
}

std::optional<BinaryOperator> multiplicative_op(GrammarRule r) {
  if (r == GrammarRule::mul_op) return BinaryOperator::Mul;
  if (r == GrammarRule::div_op) return BinaryOperator::Div;
  if (r == GrammarRule::mod_op) return BinaryOperator::Mod;
  return std::nullopt;
}

}  // namespace

DbResult<Expr> build_vm_expression(const ParseNode& node) {
  switch (node.rule()) {
    case GrammarRule::vm_expression: {
      auto kids = node.children();
      if (kids.empty()) return build_error("Invalid VM expression");
      return build_vm_expression(*kids.begin());
    }
    case GrammarRule::vm_or_expression:
      return build_joined(node, GrammarRule::vm_and_expression, BinaryOperator::Or, "Invalid VM OR expression");
    case GrammarRule::vm_and_expression:
      return build_joined(node, GrammarRule::vm_comparison_expression, BinaryOperator::And,
                          "Invalid VM AND expression");
    case GrammarRule::vm_comparison_expression:
      return build_comparison_of(node, GrammarRule::vm_additive_expression, build_vm_expression,
                                 "Invalid VM comparison expression");
    case GrammarRule::vm_additive_expression:
      return build_run(node, "additive", "Invalid additive operator in VM expression", additive_op);
    case GrammarRule::vm_multiplicative_expression:
      return build_run(node, "multiplicative", "Invalid multiplicative operator in VM expression",
                       multiplicative_op);
    case GrammarRule::vm_unary_expression: {
      std::optional<ParseNode> first, last;
      for (ParseNode c : node.children()) {
        if (!first) first = c;
        last = c;
      }
      if (!last) return build_error("Invalid VM unary expression");
      auto operand = build_vm_expression(*last);
      if (!operand) return operand;
      std::string_view t = node.text();
      std::size_t b = t.find_first_not_of(" \t\n\r");
      char lead = b == std::string_view::npos ? '\0' : t[b];
      if (lead == '!' || first->rule() == GrammarRule::vm_not_kw) {
        return Expr::unary(ast::UnaryOperator::Not, std::move(*operand));
      }
      if (lead == '-') return Expr::unary(ast::UnaryOperator::Neg, std::move(*operand));
      return operand;
    }
    case GrammarRule::vm_primary_expression: {
      auto kids = node.children();
      if (!kids.empty()) {
        ParseNode c = *kids.begin();
        if (c.rule() == GrammarRule::property_access) return build_property_access(c);
        if (c.rule() == GrammarRule::vm_expression) return build_vm_expression(c);
        if (c.rule() == GrammarRule::value) return build_literal(c);
      }
      return build_error("Invalid VM primary expression");
    }
    default:
      return build_error("Invalid VM expression");
  }
}

DbResult<std::pair<std::string, Expr>> parse_vm_assignment(std::string_view text) {
  auto tree = grammar::parse(GrammarRule::vm_assignment, text);
  if (!tree) return build_error("VM assignment parse error: " + tree.error().display());
  auto top = tree->top_level();
  if (top.empty()) return build_error("Invalid VM assignment");
  std::optional<std::string> target;
  std::optional<Expr> expr;
  for (ParseNode c : (*top.begin()).children()) {
    if (c.rule() == GrammarRule::identifier && !target) target = std::string(c.text());
    if (c.rule() == GrammarRule::vm_expression) {
      auto e = build_vm_expression(c);
      if (!e) return std::unexpected(e.error());
      expr = std::move(*e);
    }
  }
  if (!target) return build_error("Missing target variable in VM assignment");
  if (!expr) return build_error("Missing expression in VM assignment");
  return std::pair<std::string, Expr>(std::move(*target), std::move(*expr));
}

DbResult<Expr> parse_vm_expression(std::string_view text) {
  auto tree = grammar::parse(GrammarRule::vm_expression, text);
  if (!tree) return build_error("VM expression parse error: " + tree.error().display());
  auto top = tree->top_level();
  if (top.empty()) return build_error("Invalid VM expression");
  return build_vm_expression(*top.begin());
}

}  // namespace zudizid::query::zql::parser
