#include "query/zql/executor/where/condition.h"

#include <fmt/format.h>

#include <vector>

#include "query/zql/executor/arithmetic.h"

namespace zudizid::query::zql::executor {

namespace {

using ast::BinaryOperator;
using ast::Expr;

bool is_logical(BinaryOperator op) { return op == BinaryOperator::And || op == BinaryOperator::Or; }

bool is_true(const MaybeValue& v) { return v && v->kind() == PropertyValue::Kind::Bool && v->as_bool(); }

// Above this nesting (of shapes the chain walks do not flatten) a condition
// is refused rather than risking the thread's stack.
constexpr int kMaxDepth = 2000;

DbError too_deep() { return DbError::query_execution("WHERE expression is nested too deeply"); }

DbResult<MaybeValue> value_at(const Expr& expr, const ConditionScope& scope, int depth);
DbResult<bool> condition_at(const Expr& expr, const ConditionScope& scope, int depth);

// The operands of the largest tree of `op` rooted at `root`, left to right.
std::vector<const Expr*> chain_operands(const Expr& root, BinaryOperator op) {
  std::vector<const Expr*> out;
  std::vector<const Expr*> stack{&root};
  while (!stack.empty()) {
    const Expr* e = stack.back();
    stack.pop_back();
    const auto* b = e->get_if<Expr::BinaryOp>();
    if (b && b->op == op) {
      stack.push_back(b->right.get());
      stack.push_back(b->left.get());
    } else {
      out.push_back(e);
    }
  }
  return out;
}

DbResult<bool> comparison(const Expr::BinaryOp& b, const ConditionScope& scope, int depth) {
  auto left = value_at(*b.left, scope, depth + 1);
  if (!left) return std::unexpected(std::move(left.error()));
  auto right = value_at(*b.right, scope, depth + 1);
  if (!right) return std::unexpected(std::move(right.error()));
  if (!*left || !*right) return false;
  return compare_with_operator(**left, **right, b.op);
}

DbResult<bool> condition_at(const Expr& expr, const ConditionScope& scope, int depth) {
  if (depth > kMaxDepth) return std::unexpected(too_deep());
  const Expr* e = &expr;
  bool negated = false;
  while (const auto* u = e->get_if<Expr::UnaryOp>()) {
    if (u->op != ast::UnaryOperator::Not) break;
    negated = !negated;
    e = u->expr.get();
  }
  bool result = false;
  if (const auto* b = e->get_if<Expr::BinaryOp>(); b && is_logical(b->op)) {
    const bool is_and = b->op == BinaryOperator::And;
    result = is_and;
    for (const Expr* operand : chain_operands(*e, b->op)) {
      auto r = condition_at(*operand, scope, depth + 1);
      if (!r) return r;
      if (*r != is_and) {
        result = !is_and;
        break;
      }
    }
  } else if (b && !is_arithmetic(b->op)) {
    auto r = comparison(*b, scope, depth);
    if (!r) return r;
    result = *r;
  } else {
    auto v = value_at(*e, scope, depth + 1);
    if (!v) return std::unexpected(std::move(v.error()));
    result = is_true(*v);
  }
  return result != negated;
}

DbResult<MaybeValue> value_at(const Expr& expr, const ConditionScope& scope, int depth) {
  if (depth > kMaxDepth) return std::unexpected(too_deep());
  switch (expr.kind()) {
    case Expr::Kind::Literal: return MaybeValue(expr.get_if<Expr::Literal>()->value);
    case Expr::Kind::Property: {
      const auto& p = *expr.get_if<Expr::Property>();
      return scope.property(p.variable, p.property);
    }
    case Expr::Kind::Wildcard: return MaybeValue();
    case Expr::Kind::FunctionCall: {
      const auto& call = *expr.get_if<Expr::FunctionCall>();
      auto known = scope.call(call);
      if (!known) return std::unexpected(unknown_function(call.name));
      return std::move(*known);
    }
    case Expr::Kind::UnaryOp: {
      const auto& u = *expr.get_if<Expr::UnaryOp>();
      if (u.op == ast::UnaryOperator::Not) {
        auto c = condition_at(expr, scope, depth);
        if (!c) return std::unexpected(std::move(c.error()));
        return MaybeValue(PropertyValue::boolean(*c));
      }
      auto v = value_at(*u.expr, scope, depth + 1);
      if (!v || !*v) return v;
      auto negated = negate(**v);
      return negated ? MaybeValue(std::move(*negated)) : MaybeValue();
    }
    case Expr::Kind::BinaryOp: break;
  }
  const auto& b = *expr.get_if<Expr::BinaryOp>();
  if (!is_arithmetic(b.op)) {
    auto c = condition_at(expr, scope, depth);
    if (!c) return std::unexpected(std::move(c.error()));
    return MaybeValue(PropertyValue::boolean(*c));
  }
  // A left-grouped arithmetic chain (a + b - c ...): walk down its left
  // spine, then fold back up.
  std::vector<const Expr::BinaryOp*> spine;
  const Expr* base = &expr;
  while (const auto* s = base->get_if<Expr::BinaryOp>()) {
    if (!is_arithmetic(s->op)) break;
    spine.push_back(s);
    base = s->left.get();
  }
  auto acc = value_at(*base, scope, depth + 1);
  if (!acc) return acc;
  for (auto it = spine.rbegin(); it != spine.rend(); ++it) {
    auto right = value_at(*(*it)->right, scope, depth + 1);
    if (!right) return right;
    if (!*acc || !*right) {
      *acc = std::nullopt;
      continue;  // still evaluate the rest: an unknown call fails wherever it stands
    }
    auto r = arithmetic((*it)->op, **acc, **right);
    *acc = r ? MaybeValue(std::move(*r)) : MaybeValue();
  }
  return acc;
}

}  // namespace

std::optional<DbResult<MaybeValue>> ConditionScope::call(const ast::Expr::FunctionCall&) const { return std::nullopt; }

DbError unknown_function(std::string_view name) {
  return DbError::query_execution(fmt::format("Unknown function in WHERE: {}", name));
}

bool compare_with_operator(const PropertyValue& left, const PropertyValue& right, BinaryOperator op) {
  switch (op) {
    case BinaryOperator::Eq: return left.eq(right);
    case BinaryOperator::NotEq: return !left.eq(right);
    case BinaryOperator::Lt: return left.cmp(right) == std::weak_ordering::less;
    case BinaryOperator::Gt: return left.cmp(right) == std::weak_ordering::greater;
    case BinaryOperator::LtEq: return left.cmp(right) != std::weak_ordering::greater;
    case BinaryOperator::GtEq: return left.cmp(right) != std::weak_ordering::less;
    default: return false;
  }
}

std::vector<const Expr*> and_conjuncts(const Expr& expr) { return chain_operands(expr, BinaryOperator::And); }

DbResult<MaybeValue> eval_value(const Expr& expr, const ConditionScope& scope) { return value_at(expr, scope, 0); }

DbResult<bool> eval_condition(const Expr& expr, const ConditionScope& scope) { return condition_at(expr, scope, 0); }

}  // namespace zudizid::query::zql::executor
