// Pre-order walks over an expression tree without recursion: expression
// trees can be as deep as a query is long (a OR b OR c ... nests one level
// per term), so every walk keeps its own stack.
//
// Order: a node, then (for BinaryOp) its left and right operand, (for
// UnaryOp) its operand, (for FunctionCall) its arguments in order. The
// visitor answers per node whether to go below it, skip its children, or
// stop the whole walk.
#pragma once

#include <string_view>
#include <vector>

#include "common/ascii.h"
#include "query/zql/parser/ast_expr.h"

namespace zudizid::query::zql::ast {

enum class Walk { Descend, Skip, Stop };

// Calls `visit(const Expr&)` on every node in walk order; true when the
// visitor stopped the walk.
template <class Visit>
bool walk_expr(const Expr& root, Visit&& visit) {
  std::vector<const Expr*> stack{&root};
  while (!stack.empty()) {
    const Expr& e = *stack.back();
    stack.pop_back();
    Walk w = visit(e);
    if (w == Walk::Stop) return true;
    if (w == Walk::Skip) continue;
    if (const auto* b = e.get_if<Expr::BinaryOp>()) {
      stack.push_back(b->right.get());
      stack.push_back(b->left.get());
    } else if (const auto* u = e.get_if<Expr::UnaryOp>()) {
      stack.push_back(u->expr.get());
    } else if (const auto* c = e.get_if<Expr::FunctionCall>()) {
      for (auto it = c->args.rbegin(); it != c->args.rend(); ++it) stack.push_back(&*it);
    }
  }
  return false;
}

// The first node (walk order) for which `pred` holds, or null.
template <class Pred>
const Expr* find_expr(const Expr& root, Pred&& pred) {
  const Expr* found = nullptr;
  walk_expr(root, [&](const Expr& e) {
    if (!pred(e)) return Walk::Descend;
    found = &e;
    return Walk::Stop;
  });
  return found;
}

// Whether the expression or any node below it calls one of `names`
// (ASCII case-insensitive).
template <class Names>
bool expr_calls_any_function(const Expr& e, const Names& names) {
  return find_expr(e, [&](const Expr& x) {
           const auto* c = x.get_if<Expr::FunctionCall>();
           if (!c) return false;
           for (std::string_view n : names)
             if (common::ascii_iequals(c->name, n)) return true;
           return false;
         }) != nullptr;
}

}  // namespace zudizid::query::zql::ast
