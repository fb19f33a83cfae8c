// Aggregation over the bindings of one hop (hop_query.h).
#include <algorithm>
#include <unordered_map>

#include <fmt/format.h>

#include "query/zql/executor/find/find_helpers.h"
#include "query/zql/executor/operators/projections.h"
#include "query/zql/executor/ordering.h"
#include "query/zql/parser/expr_walk.h"
#include "query/zql/executor/paths/hop_query.h"
#include "query/zql/executor/where/analysis.h"
#include "query/zql/executor/where/scopes.h"

namespace zudizid::query::zql::executor {

namespace {

using ast::Expr;
using ast::Walk;

// Every group call of the projections and HAVING, each with its
// accumulator slot. Calls are told apart by their place in the query.
struct CallPlan {
  std::vector<const Expr*> calls;

  std::optional<size_t> slot(const Expr::FunctionCall& call) const {
    for (size_t i = 0; i < calls.size(); ++i)
      if (calls[i]->get_if<Expr::FunctionCall>() == &call) return i;
    return std::nullopt;
  }
};

struct Group {
  std::vector<PropertyValue> key_values;
  std::optional<Binding> first;
  std::vector<BindingAggregate> aggregates;
};

// The key text of a group: each value's debug text, length-prefixed so
// that no value can run into the next.
std::string group_key(std::span<const PropertyValue> values) {
  std::string key;
  for (const PropertyValue& v : values) {
    const std::string text = v.debug_string();
    key += fmt::format("{}:{}|", text.size(), text);
  }
  return key;
}

std::string column_of(const ast::Projection& projection, size_t i) {
  if (std::holds_alternative<ast::WildcardProjection>(projection)) return "*";
  if (const auto* all = std::get_if<ast::AllProjection>(&projection)) return fmt::format("all({})", all->variable);
  const auto& e = std::get<ast::ExpressionProjection>(projection);
  if (e.alias) return *e.alias;
  if (const auto* call = e.expr.get_if<Expr::FunctionCall>()) return call->name;
  if (const auto* p = e.expr.get_if<Expr::Property>()) return property_key(*p);
  return fmt::format("col_{}", i);
}

}  // namespace

DbResult<QueryResult> aggregate_hop_bindings(QueryContext& context, operators::BindingOperator& bindings,
                                             const ast::Query& query, const EndNames& names,
                                             const std::optional<ast::Expr>& algorithm_part) {
  auto cache = query_algorithm_cache(context.graph, query);
  if (!cache) return std::unexpected(std::move(cache.error()));

  // Every call standing as a projection is a group call: another name
  // fails here ("Unsupported aggregation for relationship patterns: {}")
  // rather than giving a column of Nulls.
  CallPlan plan;
  for (const auto& p : query.find.projections) {
    const auto* e = std::get_if<ast::ExpressionProjection>(&p);
    if (e != nullptr && e->expr.kind() == Expr::Kind::FunctionCall) plan.calls.push_back(&e->expr);
  }
  if (query.having) {
    walk_expr(query.having->condition, [&](const Expr& e) {
      if (!is_group_call(e)) return Walk::Descend;
      plan.calls.push_back(&e);
      return Walk::Skip;
    });
  }
  std::vector<BindingAggregate> fresh;
  for (const Expr* call : plan.calls) {
    auto aggregate = BindingAggregate::create(*call);
    if (!aggregate) return std::unexpected(std::move(aggregate.error()));
    fresh.push_back(std::move(*aggregate));
  }

  const std::span<const Expr> group_exprs =
      query.group_by ? std::span<const Expr>(query.group_by->expressions) : std::span<const Expr>();
  std::vector<Group> groups;
  std::unordered_map<std::string, size_t> index;
  if (!query.group_by) groups.push_back(Group{{}, std::nullopt, fresh});
  // The algorithm conjuncts read the binding as a row of its end ids and
  // the properties they name.
  std::vector<std::string> algorithm_keys{names.source + ".id", names.target + ".id"};
  if (algorithm_part) {
    walk_expr(*algorithm_part, [&](const Expr& e) {
      if (const auto* p = e.get_if<Expr::Property>(); p != nullptr && !p->property.empty())
        algorithm_keys.push_back(property_key(*p));
      return Walk::Descend;
    });
  }

  while (auto item = bindings.next()) {
    if (!*item) return std::unexpected(std::move(item->error()));
    const Binding& b = **item;
    if (algorithm_part) {
      const Row row = operators::binding_row(b, names.source, names.target, names.rel, algorithm_keys);
      auto keep = eval_algorithm_condition(row, *algorithm_part, *cache);
      if (!keep) return std::unexpected(std::move(keep.error()));
      if (!*keep) continue;
    }
    Group* group = query.group_by ? nullptr : &groups.front();
    if (query.group_by) {
      std::vector<PropertyValue> values;
      for (const Expr& g : group_exprs) values.push_back(eval_binding_expr(b, g, names).value_or(PropertyValue::null()));
      auto [it, added] = index.try_emplace(group_key(values), groups.size());
      if (added) groups.push_back(Group{std::move(values), std::nullopt, fresh});
      group = &groups[it->second];
    }
    for (BindingAggregate& a : group->aggregates) a.add(b, names);
    if (!group->first) group->first = std::move(**item);
  }

  QueryResult result;
  const auto& projections = query.find.projections;
  for (size_t i = 0; i < projections.size(); ++i) result.columns.push_back(column_of(projections[i], i));
  for (const Group& group : groups) {
    const Binding* first = group.first ? &*group.first : nullptr;
    const GroupKeys keys{group_exprs, group.key_values};
    if (query.having) {
      const GroupCallValue value = [&](const Expr::FunctionCall& call) -> DbResult<PropertyValue> {
        // Calls nested in another call's arguments have no slot of their own.
        const auto slot = plan.slot(call);
        if (!slot) return eval_binding_aggregate(Expr(call), {}, names, *cache);
        return group.aggregates[*slot].value(first, names, *cache);
      };
      auto keep = eval_group_condition(query.having->condition, first, names, keys, value);
      if (!keep) return std::unexpected(std::move(keep.error()));
      if (!*keep) continue;
    }
    Row row;
    size_t slot = 0;
    for (size_t i = 0; i < projections.size(); ++i) {
      const auto* e = std::get_if<ast::ExpressionProjection>(&projections[i]);
      if (e == nullptr)
        return std::unexpected(
            DbError::query_execution("Wildcard/all() projections are not supported with pattern aggregations"));
      PropertyValue value;
      if (e->expr.kind() == Expr::Kind::FunctionCall) {
        value = group.aggregates[slot++].value(first, names, *cache);
      } else if (first != nullptr) {
        value = eval_binding_expr(*first, e->expr, names).value_or(PropertyValue::null());
      }
      row[result.columns[i]] = std::move(value);
    }
    result.rows.push_back(std::move(row));
  }

  finish_rows(result, query);
  return result;
}

}  // namespace zudizid::query::zql::executor
