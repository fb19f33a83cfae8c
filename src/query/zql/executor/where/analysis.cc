#include "query/zql/executor/where/analysis.h"

#include <array>
#include <string_view>
#include <vector>

#include "query/zql/executor/where/condition.h"
#include "query/zql/executor/ascii_lower.h"

namespace zudizid::query::zql::executor {

namespace {

using ast::BinaryOperator;
using ast::Expr;

const std::string* string_literal(const Expr& e) {
  const auto* lit = e.get_if<Expr::Literal>();
  return lit && lit->value.kind() == PropertyValue::Kind::String ? &lit->value.as_string() : nullptr;
}

std::string call_variable(const Expr& first) {
  const auto* p = first.get_if<Expr::Property>();
  return p ? p->variable : std::string("n");
}

// The first result of `match` over the calls reached through AND and OR,
// left before right.
template <class T, class Match>
std::optional<T> find_call(const Expr& condition, Match&& match) {
  std::vector<const Expr*> stack{&condition};
  while (!stack.empty()) {
    const Expr* e = stack.back();
    stack.pop_back();
    if (const auto* b = e->get_if<Expr::BinaryOp>()) {
      if (b->op == BinaryOperator::And || b->op == BinaryOperator::Or) {
        stack.push_back(b->right.get());
        stack.push_back(b->left.get());
      }
    } else if (const auto* call = e->get_if<Expr::FunctionCall>()) {
      if (auto found = match(*call)) return found;
    }
  }
  return std::nullopt;
}

// The conjuncts that do (`with` true) or do not use an algorithm function,
// joined by AND from the left.
std::optional<Expr> conjuncts_where(const Expr& condition, bool with) {
  std::optional<Expr> out;
  for (const Expr* c : and_conjuncts(condition)) {
    if (expr_uses_algorithm_function(*c) != with) continue;
    out = out ? Expr::binary(std::move(*out), BinaryOperator::And, *c) : *c;
  }
  return out;
}

class RowScope final : public ConditionScope {
 public:
  RowScope(const Row& row, const aggregations::AlgorithmCache& cache) : row_(row), cache_(cache) {}

  MaybeValue property(std::string_view variable, std::string_view property) const override {
    const std::string key = property.empty() ? std::string(variable) + ".id"
                                             : std::string(variable) + "." + std::string(property);
    auto it = row_.find(key);
    if (it == row_.end()) return std::nullopt;
    return it->second;
  }

  std::optional<DbResult<MaybeValue>> call(const Expr::FunctionCall& call) const override {
    if (!aggregations::is_algorithm_name(call.name)) return std::nullopt;
    if (call.args.empty()) return DbResult<MaybeValue>(MaybeValue());
    const auto* v = call.args[0].get_if<Expr::Property>();
    if (!v || !v->property.empty()) return DbResult<MaybeValue>(MaybeValue());
    auto id_text = property(v->variable, "");
    if (!id_text || id_text->kind() != PropertyValue::Kind::String) return DbResult<MaybeValue>(MaybeValue());
    auto id = Uuid::parse(id_text->as_string());
    if (!id) return DbResult<MaybeValue>(MaybeValue());
    return DbResult<MaybeValue>(aggregations::algorithm_value_for_node(call.name, *id, cache_));
  }

 private:
  const Row& row_;
  const aggregations::AlgorithmCache& cache_;
};

}  // namespace

bool is_special_function_call(const Expr& expr) {
  static constexpr std::array<std::string_view, 15> kNames = {
      "sum",        "avg",         "min",          "max",           "count",
      "degree",     "leiden",      "pagerank",     "community",     "knn_nodes",
      "clustering", "betweenness", "shortestPath", "community_fast", "embedding_similarity"};
  const auto* call = expr.get_if<Expr::FunctionCall>();
  if (!call) return false;
  for (std::string_view n : kNames) {
    if (call->name == n) return true;
  }
  return false;
}

std::optional<HybridCall> extract_hybrid_call(const Expr& condition) {
  return find_call<HybridCall>(condition, [](const Expr::FunctionCall& call) -> std::optional<HybridCall> {
    if (ascii_lower(call.name) != "hybrid" || call.args.size() != 4) return std::nullopt;
    const std::string* text = string_literal(call.args[1]);
    const std::string* reference = string_literal(call.args[2]);
    const std::string* model = string_literal(call.args[3]);
    if (!text || !reference || !model) return std::nullopt;
    return HybridCall{call_variable(call.args[0]), *text, *reference, *model};
  });
}

std::optional<SimilarToCall> extract_similar_to_call(const Expr& condition) {
  return find_call<SimilarToCall>(condition, [](const Expr::FunctionCall& call) -> std::optional<SimilarToCall> {
    if (ascii_lower(call.name) != "similar_to" || call.args.size() < 2 || call.args.size() > 3) return std::nullopt;
    const std::string* reference = string_literal(call.args[1]);
    if (!reference) return std::nullopt;
    std::string model = "default";
    if (call.args.size() == 3) {
      const std::string* m = string_literal(call.args[2]);
      if (!m) return std::nullopt;
      model = *m;
    }
    return SimilarToCall{call_variable(call.args[0]), *reference, std::move(model)};
  });
}

bool expr_uses_algorithm_function(const Expr& expr) {
  std::vector<const Expr*> stack{&expr};
  while (!stack.empty()) {
    const Expr* e = stack.back();
    stack.pop_back();
    if (const auto* call = e->get_if<Expr::FunctionCall>()) {
      if (aggregations::is_algorithm_name(call->name)) return true;
      for (const Expr& a : call->args) stack.push_back(&a);
    } else if (const auto* b = e->get_if<Expr::BinaryOp>()) {
      stack.push_back(b->right.get());
      stack.push_back(b->left.get());
    } else if (const auto* u = e->get_if<Expr::UnaryOp>()) {
      stack.push_back(u->expr.get());
    }
  }
  return false;
}

std::optional<Expr> where_without_algorithms(const Expr& condition) { return conjuncts_where(condition, false); }

std::optional<Expr> where_algorithm_part(const Expr& condition) { return conjuncts_where(condition, true); }

std::optional<PropertyValue> eval_algorithm_operand(const Row& row, const Expr& expr,
                                                    const aggregations::AlgorithmCache& cache) {
  if (const auto* lit = expr.get_if<Expr::Literal>()) return lit->value;
  RowScope scope(row, cache);
  if (const auto* p = expr.get_if<Expr::Property>()) return scope.property(p->variable, p->property);
  if (const auto* call = expr.get_if<Expr::FunctionCall>()) {
    auto v = scope.call(*call);
    if (v && *v) return std::move(**v);
  }
  return std::nullopt;
}

DbResult<bool> eval_algorithm_condition(const Row& row, const Expr& condition, const aggregations::AlgorithmCache& cache) {
  return eval_condition(condition, RowScope(row, cache));
}

}  // namespace zudizid::query::zql::executor
