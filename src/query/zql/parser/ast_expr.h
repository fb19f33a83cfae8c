// The ZQL syntax tree below the statement level: expressions.
//
// An Expr owns its operands; copies are deep and equality is structural.
// Built trees can be deep without any nesting in the text (a chain
// a OR b OR c ... groups to the left, one level per term), so copy,
// equality, debug rendering and destruction walk the tree with an explicit
// stack instead of recursing.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "storage/property_value.h"

namespace zudizid::query::zql::ast {

enum class BinaryOperator : std::uint8_t {
  Eq = 0,
  NotEq = 1,
  Lt = 2,
  Gt = 3,
  LtEq = 4,
  GtEq = 5,
  And = 6,
  Or = 7,
  Add = 8,
  Sub = 9,
  Mul = 10,
  Div = 11,
  Mod = 12,
};

enum class UnaryOperator : std::uint8_t { Not = 0, Neg = 1 };

std::string_view debug_name(BinaryOperator op);
std::string_view debug_name(UnaryOperator op);

class Expr {
 public:
  enum class Kind : std::uint8_t { Literal, Property, BinaryOp, UnaryOp, FunctionCall, Wildcard };

  struct Literal {
    PropertyValue value;
  };
  // `property` is empty when the variable itself is meant (a bare name).
  struct Property {
    std::string variable;
    std::string property;
  };
  struct BinaryOp {
    std::unique_ptr<Expr> left;
    BinaryOperator op;
    std::unique_ptr<Expr> right;
  };
  struct UnaryOp {
    UnaryOperator op;
    std::unique_ptr<Expr> expr;
  };
  struct FunctionCall {
    std::string name;
    std::vector<Expr> args;
  };
  struct Wildcard {};

  using Node = std::variant<Literal, Property, BinaryOp, UnaryOp, FunctionCall, Wildcard>;

  Expr() : node_(Wildcard{}) {}
  explicit Expr(Node node) : node_(std::move(node)) {}

  static Expr literal(PropertyValue value) { return Expr(Literal{std::move(value)}); }
  static Expr property(std::string variable, std::string property) {
    return Expr(Property{std::move(variable), std::move(property)});
  }
  static Expr binary(Expr left, BinaryOperator op, Expr right) {
    return Expr(BinaryOp{std::make_unique<Expr>(std::move(left)), op,
                         std::make_unique<Expr>(std::move(right))});
  }
  static Expr unary(UnaryOperator op, Expr operand) {
    return Expr(UnaryOp{op, std::make_unique<Expr>(std::move(operand))});
  }
  static Expr call(std::string name, std::vector<Expr> args) {
    return Expr(FunctionCall{std::move(name), std::move(args)});
  }
  static Expr wildcard() { return Expr(Wildcard{}); }

  Expr(const Expr& other);
  Expr& operator=(const Expr& other);
  Expr(Expr&& other) noexcept = default;
  Expr& operator=(Expr&& other) noexcept = default;
  ~Expr();

  Kind kind() const { return static_cast<Kind>(node_.index()); }
  const Node& node() const { return node_; }
  Node& node() { return node_; }

  template <class T>
  const T* get_if() const {
    return std::get_if<T>(&node_);
  }

  // Deep copy (same as the copy constructor).
  Expr clone() const { return *this; }

  // One-line debug text, e.g. BinaryOp { left: Property { variable: "n",
  // property: "age" }, op: Gt, right: Literal(Int(3)) }.
  void fmt_debug(std::string& out) const;
  std::string debug_string() const;

  friend bool operator==(const Expr& a, const Expr& b);

 private:
  Node node_;
};

// A text in debug form: double-quoted, with \" \\ \n \t \r and \u{hex} for
// other control characters.
void fmt_debug_text(std::string& out, std::string_view text);

}  // namespace zudizid::query::zql::ast
