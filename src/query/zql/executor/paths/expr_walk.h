// Pre-order walk over an expression tree with an explicit stack: a node,
// then a BinaryOp's left and right operand, a UnaryOp's operand, a
// FunctionCall's arguments in order. The visitor returns what to do next.
#pragma once

#include <vector>

#include "query/zql/parser/ast_expr.h"

namespace zudizid::query::zql::executor {

enum class Walk { Into, Skip, Stop };  // Skip: not this node's children

template <class Visit>
void walk_expr(const ast::Expr& root, Visit&& visit) {
  using ast::Expr;
  std::vector<const Expr*> stack{&root};
  while (!stack.empty()) {
    const Expr* e = stack.back();
    stack.pop_back();
    const Walk step = visit(*e);
    if (step == Walk::Stop) return;
    if (step == Walk::Skip) continue;
    if (const auto* b = e->get_if<Expr::BinaryOp>()) {
      stack.push_back(b->right.get());
      stack.push_back(b->left.get());
    } else if (const auto* u = e->get_if<Expr::UnaryOp>()) {
      stack.push_back(u->expr.get());
    } else if (const auto* c = e->get_if<Expr::FunctionCall>()) {
      for (auto it = c->args.rbegin(); it != c->args.rend(); ++it) stack.push_back(&*it);
    }
  }
}

// True when `test` holds at some node of the tree.
template <class Test>
bool any_expr(const ast::Expr& root, Test&& test) {
  bool found = false;
  walk_expr(root, [&](const ast::Expr& e) {
    if (test(e)) {
      found = true;
      return Walk::Stop;
    }
    return Walk::Into;
  });
  return found;
}

}  // namespace zudizid::query::zql::executor
