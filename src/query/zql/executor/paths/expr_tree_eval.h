// Bottom-up evaluation of an expression tree with an explicit stack.
//
// A chain of operators groups to the left, one tree level per operator, so
// a long text builds a deep tree without any nesting; walking it with an
// explicit stack keeps the thread's stack flat whatever its depth.
//
// `Rules` gives the meaning:
//   DbResult<Value> leaf(const ast::Expr&)   Literal, Property, FunctionCall, Wildcard
//   DbResult<bool> logic_operand(ast::BinaryOperator op, Value&&)
//                                            an operand of And or Or as a truth value
//   DbResult<Value> binary(ast::BinaryOperator, Value&&, Value&&)   every other operator
//   DbResult<Value> unary(ast::UnaryOperator, Value&&)
//   Value from_bool(bool)                    the value of an And or Or
// And and Or evaluate their right operand only when the left one does not
// decide (false for And, true for Or); an operand's error ends the walk.
// Other operators evaluate the left operand, then the right one.
#pragma once

#include <utility>
#include <vector>

#include "query/zql/parser/ast_expr.h"
#include "storage/db_error.h"

namespace zudizid::query::zql::executor {

template <class Value, class Rules>
DbResult<Value> evaluate_expr_tree(const ast::Expr& root, Rules& rules) {
  using ast::BinaryOperator;
  using ast::Expr;
  struct Frame {
    const Expr* expr;
    int stage;
  };
  std::vector<Frame> frames{{&root, 0}};
  std::vector<Value> values;
  auto pop_value = [&values] {
    Value v = std::move(values.back());
    values.pop_back();
    return v;
  };

  while (!frames.empty()) {
    Frame& frame = frames.back();
    const Expr& expr = *frame.expr;
    if (const auto* bin = expr.get_if<Expr::BinaryOp>()) {
      const bool logic = bin->op == BinaryOperator::And || bin->op == BinaryOperator::Or;
      if (frame.stage == 0) {
        frame.stage = 1;
        frames.push_back({bin->left.get(), 0});
        continue;
      }
      if (logic) {
        auto truth = rules.logic_operand(bin->op, pop_value());
        if (!truth) return std::unexpected(std::move(truth.error()));
        const bool decided = frame.stage == 2 || (bin->op == BinaryOperator::And ? !*truth : *truth);
        if (decided) {
          frames.pop_back();
          values.push_back(rules.from_bool(*truth));
        } else {
          frame.stage = 2;
          frames.push_back({bin->right.get(), 0});
        }
        continue;
      }
      if (frame.stage == 1) {
        frame.stage = 2;
        frames.push_back({bin->right.get(), 0});
        continue;
      }
      Value right = pop_value();
      Value left = pop_value();
      auto out = rules.binary(bin->op, std::move(left), std::move(right));
      if (!out) return std::unexpected(std::move(out.error()));
      frames.pop_back();
      values.push_back(std::move(*out));
      continue;
    }
    if (const auto* un = expr.get_if<Expr::UnaryOp>()) {
      if (frame.stage == 0) {
        frame.stage = 1;
        frames.push_back({un->expr.get(), 0});
        continue;
      }
      auto out = rules.unary(un->op, pop_value());
      if (!out) return std::unexpected(std::move(out.error()));
      frames.pop_back();
      values.push_back(std::move(*out));
      continue;
    }
    auto out = rules.leaf(expr);
    if (!out) return std::unexpected(std::move(out.error()));
    frames.pop_back();
    values.push_back(std::move(*out));
  }
  return pop_value();
}

}  // namespace zudizid::query::zql::executor
