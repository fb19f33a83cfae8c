#include "query/zql/parser/build_expression.h"

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <string>
#include <vector>

#include "query/zql/parser/text_scan.h"

namespace zudizid::query::zql::parser {

using ast::BinaryOperator;
using ast::Expr;
using ast::UnaryOperator;
using grammar::GrammarRule;

namespace {

DbResult<double> read_float(std::string_view text) {
  double v = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
  if (ec == std::errc() && end == text.data() + text.size()) return v;
  if (ec == std::errc::result_out_of_range) {
    // Beyond the double range: the nearest value is an infinity or zero.
    std::string copy(text);
    char* stop = nullptr;
    double r = std::strtod(copy.c_str(), &stop);
    if (stop == copy.c_str() + copy.size()) return r;
  }
  return build_error("Invalid float");
}

// A number token's text: with a "." a Float, otherwise a signed 64-bit Int.
DbResult<PropertyValue> read_number(std::string_view text) {
  if (text.find('.') != std::string_view::npos) {
    auto f = read_float(text);
    if (!f) return std::unexpected(f.error());
    return PropertyValue::float64(*f);
  }
  auto i = grammar::read_int(text);
  if (!i) return build_error("Invalid integer");
  return PropertyValue::integer(*i);
}

// The number node of a primary that is exactly a number literal.
std::optional<ParseNode> number_literal(const ParseNode& primary) {
  auto children = primary.children();
  if (children.empty()) return std::nullopt;
  ParseNode first = *children.begin();
  if (first.rule() != GrammarRule::value) return std::nullopt;
  auto v = first.children();
  if (v.empty() || (*v.begin()).rule() != GrammarRule::number) return std::nullopt;
  return *v.begin();
}

DbResult<Expr> build_function_call(const ParseNode& node) {
  std::optional<std::string> name;
  std::vector<Expr> args;
  for (ParseNode c : node.children()) {
    switch (c.rule()) {
      case GrammarRule::identifier:
        if (!name) name = std::string(c.text());
        break;
      case GrammarRule::expression: {
        auto e = build_expression(c);
        if (!e) return e;
        args.push_back(std::move(*e));
        break;
      }
      case GrammarRule::function_arg: {
        std::string_view t = c.text();
        std::size_t b = t.find_first_not_of(" \t\n\r");
        std::size_t e = t.find_last_not_of(" \t\n\r");
        if (b != std::string_view::npos && t.substr(b, e - b + 1) == "*") {
          args.push_back(Expr::wildcard());
        } else if (!c.children().empty() && (*c.children().begin()).rule() == GrammarRule::expression) {
          auto x = build_expression(*c.children().begin());
          if (!x) return x;
          args.push_back(std::move(*x));
        }
        break;
      }
      default:
        break;
    }
  }
  if (!name) return build_error("Missing function name");
  return Expr::call(std::move(*name), std::move(args));
}

DbResult<Expr> build_primary(const ParseNode& primary) {
  for (ParseNode c : primary.children()) {
    switch (c.rule()) {
      case GrammarRule::property_access: return build_property_access(c);
      case GrammarRule::function_call: return build_function_call(c);
      case GrammarRule::value: return build_literal(c);
      case GrammarRule::expression: return build_expression(c);  // parenthesised
      default: break;
    }
  }
  return build_error("Invalid primary expression");
}

// `unary_expression`: an optional "!" (first character of the text) or "-"
// (a neg_op child) in front of one primary.
DbResult<Expr> build_unary(const ParseNode& node) {
  bool negate = false;
  std::optional<ParseNode> primary;
  for (ParseNode c : node.children()) {
    if (c.rule() == GrammarRule::neg_op) negate = true;
    if (c.rule() == GrammarRule::primary_expression && !primary) primary = c;
  }
  if (!primary) return build_error("Invalid expression");
  const bool logical_not = !node.text().empty() && node.text().front() == '!';

  if (negate) {
    if (auto number = number_literal(*primary)) {
      // -5 is the literal -5 (the sign is a separate token in the grammar),
      // which also makes -9223372036854775808 readable.
      std::string_view t = number->text();
      std::string negated = !t.empty() && t.front() == '-' ? std::string(t.substr(1)) : "-" + std::string(t);
      auto v = read_number(negated);
      if (!v) return std::unexpected(v.error());
      return Expr::literal(std::move(*v));
    }
  }
  auto operand = build_primary(*primary);
  if (!operand) return operand;
  if (logical_not) return Expr::unary(UnaryOperator::Not, std::move(*operand));
  if (negate) return Expr::unary(UnaryOperator::Neg, std::move(*operand));
  return operand;
}

// `multiplicative_expression`: operands are unary_expression children; the
// operators leave no node, so each is read from the text between two
// operands (after whitespace and comments).
DbResult<Expr> build_product(const ParseNode& node) {
  std::optional<Expr> result;
  std::size_t prev_end = 0;
  const std::string_view text = node.text();
  for (ParseNode c : node.children()) {
    if (c.rule() != GrammarRule::unary_expression) continue;
    auto operand = build_unary(c);
    if (!operand) return operand;
    if (!result) {
      result = std::move(*operand);
    } else {
      std::string_view between = text.substr(prev_end - node.start(), c.start() - prev_end);
      std::size_t at = grammar::skip_implicit_whitespace(between, 0);
      BinaryOperator op;
      char ch = at < between.size() ? between[at] : '\0';
      if (ch == '*') {
        op = BinaryOperator::Mul;
      } else if (ch == '/') {
        op = BinaryOperator::Div;
      } else if (ch == '%') {
        op = BinaryOperator::Mod;
      } else {
        return build_error("Invalid expression");
      }
      result = Expr::binary(std::move(*result), op, std::move(*operand));
    }
    prev_end = c.end();
  }
  if (!result) return build_error("Invalid expression");
  return std::move(*result);
}

}  // namespace

std::string_view strip_quotes(std::string_view text) {
  if (text.size() < 2) return text;
  char a = text.front(), b = text.back();
  if ((a == '"' && b == '"') || (a == '\'' && b == '\'')) return text.substr(1, text.size() - 2);
  return text;
}

DbResult<PropertyValue> build_property_value(const ParseNode& node) {
  for (ParseNode c : node.children()) {
    switch (c.rule()) {
      case GrammarRule::string: return PropertyValue::string(std::string(strip_quotes(c.text())));
      case GrammarRule::number: return read_number(c.text());
      case GrammarRule::boolean: {
        std::string lower(c.text());
        for (char& ch : lower) {
          if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
        }
        return PropertyValue::boolean(lower == "true");
      }
      case GrammarRule::null: return PropertyValue::null();
      default: break;
    }
  }
  return build_error("Invalid property value");
}

DbResult<Expr> build_literal(const ParseNode& node) {
  auto v = build_property_value(node);
  if (!v) {
    if (v.error().text() == "Invalid property value") return build_error("Invalid value");
    return std::unexpected(v.error());
  }
  return Expr::literal(std::move(*v));
}

DbResult<Expr> build_property_access(const ParseNode& node) {
  std::vector<std::string_view> names;
  for (ParseNode c : node.children()) {
    if (c.rule() == GrammarRule::identifier) names.push_back(c.text());
  }
  if (names.size() == 1) return Expr::property(std::string(names[0]), std::string());
  if (names.size() == 2) return Expr::property(std::string(names[0]), std::string(names[1]));
  return build_error("Invalid property access");
}

DbResult<BinaryOperator> parse_comparison_operator(std::string_view text) {
  if (text == "=") return BinaryOperator::Eq;
  if (text == "!=") return BinaryOperator::NotEq;
  if (text == "<") return BinaryOperator::Lt;
  if (text == ">") return BinaryOperator::Gt;
  if (text == "<=") return BinaryOperator::LtEq;
  if (text == ">=") return BinaryOperator::GtEq;
  return build_error("Unknown operator: " + std::string(text));
}

DbResult<Expr> build_operand(const ParseNode& node) {
  std::optional<Expr> result;
  BinaryOperator op = BinaryOperator::Add;
  bool have_op = false;
  for (ParseNode c : node.children()) {
    switch (c.rule()) {
      case GrammarRule::add_op:
      case GrammarRule::sub_op:
        op = c.rule() == GrammarRule::add_op ? BinaryOperator::Add : BinaryOperator::Sub;
        have_op = true;
        break;
      case GrammarRule::multiplicative_expression: {
        auto term = build_product(c);
        if (!term) return term;
        if (!result) {
          result = std::move(*term);
        } else {
          if (!have_op) return build_error("Invalid expression");
          result = Expr::binary(std::move(*result), op, std::move(*term));
          have_op = false;
        }
        break;
      }
      default: break;
    }
  }
  if (!result) return build_error("Invalid expression");
  return std::move(*result);
}

DbResult<Expr> build_comparison_of(const ParseNode& node, GrammarRule operand_rule,
                                      const std::function<DbResult<Expr>(const ParseNode&)>& build,
                                      std::string_view error) {
  std::optional<Expr> left, right;
  std::optional<BinaryOperator> op;
  for (ParseNode c : node.children()) {
    if (c.rule() == GrammarRule::comparison_op) {
      auto o = parse_comparison_operator(c.text());
      if (!o) return std::unexpected(o.error());
      op = *o;
    } else if (c.rule() == operand_rule) {
      auto e = build(c);
      if (!e) return e;
      if (!left) {
        left = std::move(*e);
      } else {
        right = std::move(*e);
      }
    }
  }
  if (left && !op && !right) return std::move(*left);
  if (left && op && right) return Expr::binary(std::move(*left), *op, std::move(*right));
  return build_error(std::string(error));
}

DbResult<Expr> build_comparison(const ParseNode& node) {
  return build_comparison_of(node, GrammarRule::additive_expression, build_operand, "Invalid comparison expression");
}

DbResult<Expr> build_and_expression(const ParseNode& node) {
  std::optional<Expr> result;
  for (ParseNode c : node.children()) {
    if (c.rule() != GrammarRule::comparison_expression) continue;
    auto e = build_comparison(c);
    if (!e) return e;
    result = result ? Expr::binary(std::move(*result), BinaryOperator::And, std::move(*e)) : std::move(*e);
  }
  if (!result) return build_error("Invalid expression");
  return std::move(*result);
}

DbResult<Expr> build_expression(const ParseNode& node) {
  std::optional<Expr> result;
  for (ParseNode c : node.children()) {
    DbResult<Expr> e = build_error("Invalid expression");
    if (c.rule() == GrammarRule::or_expression) {
      if (result) {
        // Only the first operand can be an or_expression (an `expression`
        // node's single child); later ones are conjunctions.
        e = build_error("Invalid expression");
      } else {
        e = build_expression(c);
      }
    } else if (c.rule() == GrammarRule::and_expression) {
      e = build_and_expression(c);
    } else {
      continue;
    }
    if (!e) return e;
    result = result ? Expr::binary(std::move(*result), BinaryOperator::Or, std::move(*e)) : std::move(*e);
  }
  if (!result) return build_error("Invalid expression");
  return std::move(*result);
}

}  // namespace zudizid::query::zql::parser
