#include "query/zql/executor/paths/binding_eval.h"

#include <algorithm>

#include <fmt/format.h>

#include "query/zql/executor/aggregations/aggregation.h"
#include "common/ascii.h"
#include "query/zql/executor/ascii_lower.h"
#include "query/zql/parser/expr_walk.h"
#include "query/zql/executor/where/scopes.h"

namespace zudizid::query::zql::executor {

namespace {

using ast::Expr;
using ast::Walk;
using Kind = PropertyValue::Kind;

DbError exec_error(std::string text) { return DbError::query_execution(std::move(text)); }

void add_name(std::vector<std::string>& names, const std::string& name) {
  if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
}

const Expr* first_arg(const Expr::FunctionCall& call) { return call.args.empty() ? nullptr : &call.args[0]; }

// The group seen by HAVING: key values for grouped references, the first
// binding for other references, the caller's values for group calls.
class GroupScope final : public ConditionScope {
 public:
  GroupScope(const Binding* first, const EndNames& names, const GroupKeys& keys, const GroupCallValue& call_value)
      : first_(first), names_(names), keys_(keys), call_value_(call_value) {}

  MaybeValue property(std::string_view variable, std::string_view property) const override {
    for (size_t i = 0; i < keys_.exprs.size() && i < keys_.values.size(); ++i) {
      const auto* p = keys_.exprs[i].get_if<Expr::Property>();
      if (p != nullptr && p->variable == variable && p->property == property) return keys_.values[i];
    }
    if (first_ == nullptr) return std::nullopt;
    return eval_binding_expr(*first_, Expr::property(std::string(variable), std::string(property)), names_);
  }

  std::optional<DbResult<MaybeValue>> call(const Expr::FunctionCall& call) const override {
    if (!is_group_function(call.name)) return std::nullopt;
    auto v = call_value_(call);
    if (!v) return DbResult<MaybeValue>(std::unexpected(std::move(v.error())));
    return DbResult<MaybeValue>(std::move(*v));
  }

 private:
  const Binding* first_;
  const EndNames& names_;
  const GroupKeys& keys_;
  const GroupCallValue& call_value_;
};

}  // namespace

void collect_expr_variables(const Expr& expr, std::vector<std::string>& names) {
  walk_expr(expr, [&](const Expr& e) {
    if (const auto* p = e.get_if<Expr::Property>()) add_name(names, p->variable);
    return Walk::Descend;
  });
}

EndNames resolve_end_names(const std::optional<std::string>& source, const std::optional<std::string>& target,
                           const std::optional<std::string>& rel, const ast::Query& query) {
  if (source && target) return EndNames{*source, *target, rel};
  std::vector<std::string> names;
  for (const auto& projection : query.find.projections) {
    if (const auto* all = std::get_if<ast::AllProjection>(&projection)) add_name(names, all->variable);
    if (const auto* e = std::get_if<ast::ExpressionProjection>(&projection)) collect_expr_variables(e->expr, names);
  }
  if (query.filter) collect_expr_variables(query.filter->condition, names);
  if (rel) std::erase(names, *rel);
  auto first_not = [&](const std::optional<std::string>& other) -> std::optional<std::string> {
    for (const auto& n : names)
      if (!other || n != *other) return n;
    return std::nullopt;
  };
  EndNames out;
  out.source = source ? *source : first_not(target).value_or("n");
  out.target = target ? *target : first_not(out.source).value_or("m");
  out.rel = rel;
  return out;
}

MaybeValue eval_binding_expr(const Binding& binding, const Expr& expr, const EndNames& names) {
  if (const auto* p = expr.get_if<Expr::Property>(); p != nullptr && p->property.empty()) {
    if (p->variable == names.source) return PropertyValue::string(binding.source.id.to_string());
    if (p->variable == names.target) return PropertyValue::string(binding.target.id.to_string());
    if (names.rel && p->variable == *names.rel && binding.edge)
      return PropertyValue::string(binding.edge->id.to_string());
    return std::nullopt;
  }
  return binding_expr_value(binding, expr, names.source, names.target);
}

bool is_group_function(std::string_view name) {
  for (std::string_view n : {"sum", "avg", "min", "max", "count"})
    if (common::ascii_iequals(name, n)) return true;
  return aggregations::is_algorithm_name(name);
}

bool is_group_call(const Expr& expr) {
  const auto* call = expr.get_if<Expr::FunctionCall>();
  return call != nullptr && is_group_function(call->name);
}

DbResult<BindingAggregate> BindingAggregate::create(const Expr& expr) {
  const auto* call = expr.get_if<Expr::FunctionCall>();
  if (call == nullptr) return std::unexpected(exec_error("Not an aggregation expression"));
  if (aggregations::is_algorithm_function(expr)) return BindingAggregate(*call, Op::Algorithm);
  const std::string name = ascii_lower(call->name);
  const Expr* arg = first_arg(*call);
  if (name == "count")
    return BindingAggregate(*call, arg == nullptr || arg->kind() == Expr::Kind::Wildcard ? Op::CountAll : Op::Count);
  const Op op = name == "sum"   ? Op::Sum
                : name == "avg" ? Op::Avg
                : name == "min" ? Op::Min
                : name == "max" ? Op::Max
                                : Op::Algorithm;
  if (op == Op::Algorithm)
    return std::unexpected(exec_error(fmt::format("Unsupported aggregation for relationship patterns: {}", call->name)));
  if (arg == nullptr) return std::unexpected(exec_error(fmt::format("{}() requires an argument", call->name)));
  return BindingAggregate(*call, op);
}

void BindingAggregate::add(const Binding& binding, const EndNames& names) {
  if (op_ == Op::Algorithm) return;
  if (op_ == Op::CountAll) {
    ++counted_;
    return;
  }
  MaybeValue v = eval_binding_expr(binding, call_->args[0], names);
  if (!v) return;
  switch (op_) {
    case Op::Sum:
    case Op::Avg:
      if (v->kind() == Kind::Int) {
        sum_ += static_cast<double>(v->as_int());
      } else if (v->kind() == Kind::Float) {
        sum_ += v->as_float();
      } else {
        return;
      }
      ++counted_;
      return;
    case Op::Count:
      if (!v->is_null()) ++counted_;
      return;
    case Op::Min:
    case Op::Max:
      if (v->is_null()) return;
      if (!best_ || (op_ == Op::Max ? v->cmp(*best_) > 0 : v->cmp(*best_) < 0)) best_ = std::move(*v);
      return;
    default: return;
  }
}

PropertyValue BindingAggregate::value(const Binding* first, const EndNames& names,
                                      const aggregations::AlgorithmCache& cache) const {
  switch (op_) {
    case Op::Sum: return PropertyValue::float64(sum_);
    case Op::Avg: return counted_ == 0 ? PropertyValue::null() : PropertyValue::float64(sum_ / static_cast<double>(counted_));
    case Op::Min:
    case Op::Max: return best_.value_or(PropertyValue::null());
    case Op::Count:
    case Op::CountAll: return PropertyValue::integer(counted_);
    case Op::Algorithm: break;
  }
  const Expr* arg = first_arg(*call_);
  const auto* v = arg ? arg->get_if<Expr::Property>() : nullptr;
  if (first == nullptr || v == nullptr || !v->property.empty()) return PropertyValue::null();
  if (v->variable == names.source) return aggregations::algorithm_value_for_node(call_->name, first->source.id, cache);
  if (v->variable == names.target) return aggregations::algorithm_value_for_node(call_->name, first->target.id, cache);
  return PropertyValue::null();
}

DbResult<PropertyValue> eval_binding_aggregate(const Expr& call, std::span<const Binding> group,
                                               const EndNames& names, const aggregations::AlgorithmCache& cache) {
  auto aggregate = BindingAggregate::create(call);
  if (!aggregate) return std::unexpected(std::move(aggregate.error()));
  for (const Binding& b : group) aggregate->add(b, names);
  return aggregate->value(group.empty() ? nullptr : &group.front(), names, cache);
}

DbResult<bool> eval_group_condition(const Expr& cond, const Binding* first, const EndNames& names,
                                    const GroupKeys& keys, const GroupCallValue& call_value) {
  return eval_condition(cond, GroupScope(first, names, keys, call_value));
}

DbResult<bool> eval_group_condition(const Expr& cond, std::span<const Binding> group, const EndNames& names,
                                    const GroupKeys& keys, const aggregations::AlgorithmCache& cache) {
  const GroupCallValue value = [&](const Expr::FunctionCall& call) {
    return eval_binding_aggregate(Expr(call), group, names, cache);
  };
  return eval_group_condition(cond, group.empty() ? nullptr : &group.front(), names, keys, value);
}

}  // namespace zudizid::query::zql::executor
