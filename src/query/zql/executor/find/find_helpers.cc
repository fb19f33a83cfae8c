#include "query/zql/executor/find/find_helpers.h"

#include <algorithm>
#include <array>
#include <unordered_set>

#include <fmt/format.h>

#include "common/ascii.h"
#include "query/zql/executor/where/condition.h"
#include "query/zql/parser/expr_walk.h"

namespace zudizid::query::zql::executor {

namespace {

using ast::Expr;

constexpr std::array<std::string_view, 15> kSpecialFunctions = {
    "sum",        "avg",         "min",          "max",            "count",
    "degree",     "leiden",      "pagerank",     "community",      "knn_nodes",
    "clustering", "betweenness", "shortestPath", "community_fast", "embedding_similarity"};

// all(x) with one bare-variable argument: x.
const std::string* all_call_variable(const Expr& e) {
  const auto* c = e.get_if<Expr::FunctionCall>();
  if (!c || !common::ascii_iequals(c->name, "all") || c->args.size() != 1) return nullptr;
  const auto* p = c->args[0].get_if<Expr::Property>();
  return p && p->property.empty() ? &p->variable : nullptr;
}

// The key a projection fills, whatever its alias.
std::optional<std::string> projection_source_key(const ast::Projection& projection) {
  if (const auto* a = std::get_if<ast::AllProjection>(&projection)) return a->variable + ".*";
  const auto* ep = std::get_if<ast::ExpressionProjection>(&projection);
  if (!ep) return std::nullopt;
  if (const auto* p = ep->expr.get_if<Expr::Property>()) return property_key(*p);
  if (const std::string* v = all_call_variable(ep->expr)) return *v + ".*";
  return std::nullopt;
}

void push_unique(std::vector<std::string>& list, const std::string& s) {
  if (std::find(list.begin(), list.end(), s) == list.end()) list.push_back(s);
}

// Scores and projected values of one row.
class RowScope final : public ConditionScope {
 public:
  RowScope(const Row& row, const aggregations::AlgorithmCache& cache) : row_(row), cache_(cache) {}
  MaybeValue property(std::string_view variable, std::string_view property) const override {
    const std::string key = property.empty() ? fmt::format("{}.id", variable) : fmt::format("{}.{}", variable, property);
    auto it = row_.find(key);
    return it == row_.end() ? MaybeValue{} : MaybeValue{it->second};
  }
  std::optional<DbResult<MaybeValue>> call(const Expr::FunctionCall& call) const override {
    if (!aggregations::algorithm_named(call.name)) return std::nullopt;
    const auto* v = call.args.empty() ? nullptr : call.args[0].get_if<Expr::Property>();
    if (!v || !v->property.empty()) return DbResult<MaybeValue>(MaybeValue{});
    auto id = row_.find(v->variable + ".id");
    if (id == row_.end() || id->second.kind() != PropertyValue::Kind::String) return DbResult<MaybeValue>(MaybeValue{});
    auto uuid = common::Uuid::parse(id->second.as_string());
    if (!uuid) return DbResult<MaybeValue>(MaybeValue{});
    return DbResult<MaybeValue>(aggregations::algorithm_value_for_node(call.name, *uuid, cache_));
  }

 private:
  const Row& row_;
  const aggregations::AlgorithmCache& cache_;
};

// The conjuncts of `condition` that do (or do not) use an algorithm
// function, rebuilt as a left-grouped AND.
std::optional<Expr> conjuncts_where(const Expr& condition, bool with_algorithms) {
  std::optional<Expr> out;
  for (const Expr* c : and_conjuncts(condition)) {
    if (expr_uses_algorithm_function(*c) != with_algorithms) continue;
    out = out ? Expr::binary(std::move(*out), ast::BinaryOperator::And, *c) : *c;
  }
  return out;
}

constexpr std::array<std::string_view, 7> kPathMetadataNames = {"depth", "nodes", "edges", "start",
                                                                "end",   "state", "result"};

bool is_path_metadata_name(std::string_view name) {
  return std::find(kPathMetadataNames.begin(), kPathMetadataNames.end(), name) != kPathMetadataNames.end();
}

const Expr::Property* as_path_ref(const Expr& e) {
  const auto* p = e.get_if<Expr::Property>();
  return p && p->variable == "path" ? p : nullptr;
}

bool has_path_metadata_ref(const Expr& e, std::initializer_list<std::string_view> names = {}) {
  return ast::find_expr(e, [&](const Expr& x) {
           const auto* p = as_path_ref(x);
           if (!p || !is_path_metadata_name(p->property)) return false;
           return names.size() == 0 || std::find(names.begin(), names.end(), p->property) != names.end();
         }) != nullptr;
}

}  // namespace

std::string property_key(const Expr::Property& p) {
  return p.property.empty() ? p.variable : fmt::format("{}.{}", p.variable, p.property);
}

bool is_special_function_call(const Expr& e) {
  const auto* c = e.get_if<Expr::FunctionCall>();
  return c && std::find(kSpecialFunctions.begin(), kSpecialFunctions.end(), c->name) != kSpecialFunctions.end();
}

std::vector<std::string> projection_column_names(const std::vector<ast::Projection>& projections) {
  std::vector<std::string> out;
  for (const auto& projection : projections) {
    if (std::holds_alternative<ast::WildcardProjection>(projection)) {
      out.emplace_back("*");
      continue;
    }
    const auto* ep = std::get_if<ast::ExpressionProjection>(&projection);
    if (ep && ep->alias) {
      out.push_back(*ep->alias);
    } else if (auto key = projection_source_key(projection)) {
      out.push_back(std::move(*key));
    }
  }
  return out;
}

std::vector<std::string> projection_key_names(const std::vector<ast::Projection>& projections) {
  std::vector<std::string> out;
  for (const auto& projection : projections)
    if (auto key = projection_source_key(projection)) out.push_back(std::move(*key));
  return out;
}

std::vector<std::pair<std::string, std::string>> aliased_property_refs(const std::vector<ast::Projection>& projections) {
  std::vector<std::pair<std::string, std::string>> out;
  for (const auto& projection : projections) {
    const auto* ep = std::get_if<ast::ExpressionProjection>(&projection);
    if (!ep || !ep->alias) continue;
    if (const auto* p = ep->expr.get_if<Expr::Property>()) out.emplace_back(property_key(*p), *ep->alias);
  }
  return out;
}

std::vector<std::string> order_by_extra_columns(const ast::Query& query) {
  std::vector<std::string> out;
  if (!query.order_by) return out;
  std::vector<std::string> projected;
  for (const auto& projection : query.find.projections) {
    if (std::holds_alternative<ast::WildcardProjection>(projection)) return {};
    const auto* ep = std::get_if<ast::ExpressionProjection>(&projection);
    if (!ep) continue;
    if (ep->alias) {
      projected.push_back(*ep->alias);
    } else if (const auto* p = ep->expr.get_if<Expr::Property>()) {
      projected.push_back(property_key(*p));
    }
  }
  for (const auto& item : query.order_by->items) {
    const auto* p = item.expression.get_if<Expr::Property>();
    if (!p) continue;
    std::string key = property_key(*p);
    if (std::find(projected.begin(), projected.end(), key) == projected.end()) push_unique(out, key);
  }
  return out;
}

bool row_less(const Row& a, const Row& b, const ast::OrderByClause& order) {
  for (const auto& item : order.items) {
    const auto* p = item.expression.get_if<Expr::Property>();
    if (!p) continue;
    const std::string key = property_key(*p);
    auto ia = a.find(key), ib = b.find(key);
    const bool has_a = ia != a.end(), has_b = ib != b.end();
    if (!has_a && !has_b) continue;
    const bool desc = item.order == ast::OrderDirection::Desc;
    if (has_a != has_b) return desc ? !has_a : has_a;
    // PropertyValue::total_less is cmp made a strict weak order (exact
    // mixed numbers, NaNs together), as a sort needs.
    if (PropertyValue::total_less(ia->second, ib->second)) return !desc;
    if (PropertyValue::total_less(ib->second, ia->second)) return desc;
  }
  return false;
}

void apply_distinct(QueryResult& result) {
  struct KeyHash {
    size_t operator()(const std::vector<PropertyValue>& k) const {
      size_t h = k.size();
      for (const auto& v : k) h = h * 1000003u ^ static_cast<size_t>(v.hash_value());
      return h;
    }
  };
  struct KeyEq {
    bool operator()(const std::vector<PropertyValue>& a, const std::vector<PropertyValue>& b) const {
      if (a.size() != b.size()) return false;
      for (size_t i = 0; i < a.size(); ++i)
        if (!a[i].eq(b[i])) return false;
      return true;
    }
  };
  std::unordered_set<std::vector<PropertyValue>, KeyHash, KeyEq> seen;
  std::vector<Row> kept;
  for (Row& row : result.rows) {
    std::vector<PropertyValue> key;
    for (const std::string& column : result.columns) {
      const bool all = column == "*";
      if (all || column.ends_with(".*")) {
        // Every key of the row (or under "v."), as a sorted Object.
        const std::string_view prefix = all ? std::string_view() : std::string_view(column).substr(0, column.size() - 1);
        PropertyObject entries;
        for (const auto& [k, v] : row)
          if (k.starts_with(prefix)) entries.emplace_back(k, v);
        std::sort(entries.begin(), entries.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
        key.push_back(PropertyValue::object(std::move(entries)));
        continue;
      }
      auto it = row.find(column);
      key.push_back(it == row.end() ? PropertyValue::null() : it->second);
    }
    if (seen.insert(std::move(key)).second) kept.push_back(std::move(row));
  }
  result.rows = std::move(kept);
}

void strip_extra_columns(QueryResult& result, const std::vector<std::string>& extras) {
  if (extras.empty()) return;
  std::erase_if(result.columns,
                [&](const std::string& c) { return std::find(extras.begin(), extras.end(), c) != extras.end(); });
  for (Row& row : result.rows)
    for (const std::string& e : extras) row.erase(e);
}

bool expr_uses_algorithm_function(const Expr& e) {
  return ast::find_expr(e, [](const Expr& x) {
           const auto* c = x.get_if<Expr::FunctionCall>();
           return c && aggregations::algorithm_named(c->name).has_value();
         }) != nullptr;
}

std::optional<Expr> where_without_algorithms(const Expr& condition) { return conjuncts_where(condition, false); }
std::optional<Expr> where_algorithm_part(const Expr& condition) { return conjuncts_where(condition, true); }

bool eval_algorithm_condition(const Row& row, const Expr& condition, const aggregations::AlgorithmCache& cache) {
  auto r = eval_condition(condition, RowScope(row, cache));
  return r && *r;
}

DbResult<void> check_path_metadata(const ast::Query& query) {
  std::vector<const Expr*> scanned;
  for (const auto& projection : query.find.projections)
    if (const auto* ep = std::get_if<ast::ExpressionProjection>(&projection)) scanned.push_back(&ep->expr);
  if (query.filter) scanned.push_back(&query.filter->condition);
  if (query.order_by)
    for (const auto& item : query.order_by->items) scanned.push_back(&item.expression);
  if (query.group_by)
    for (const Expr& g : query.group_by->expressions) scanned.push_back(&g);
  if (query.having) scanned.push_back(&query.having->condition);

  bool any = false;
  for (const Expr* e : scanned) any = any || has_path_metadata_ref(*e);
  if (!any) return {};
  for (const Expr* e : scanned) {
    const Expr* unknown = ast::find_expr(*e, [](const Expr& x) {
      const auto* p = as_path_ref(x);
      return p && !is_path_metadata_name(p->property);
    });
    if (unknown)
      return std::unexpected(DbError::query_execution(fmt::format(
          "Unknown path metadata property 'path.{}' in Path Queries F2", unknown->get_if<Expr::Property>()->property)));
  }
  const bool single_path = query.from.patterns.size() == 1 &&
                           std::any_of(query.from.patterns[0].elements.begin(), query.from.patterns[0].elements.end(),
                                       [](const auto& el) { return std::holds_alternative<ast::RelationshipPattern>(el); });
  if (!single_path)
    return std::unexpected(DbError::query_execution(
        "path.* is only supported for a single linear pattern with at least one relationship in Path Queries F2"));
  if (query.filter && has_path_metadata_ref(query.filter->condition, {"nodes", "edges"}))
    return std::unexpected(DbError::query_execution(
        "path.nodes and path.edges are only supported in FIND projections in Path Queries F2"));
  if (query.order_by)
    for (const auto& item : query.order_by->items)
      if (has_path_metadata_ref(item.expression, {"nodes", "edges"}))
        return std::unexpected(DbError::query_execution(
            "path.nodes and path.edges are not supported in ORDER BY in Path Queries F2"));
  bool grouped = query.having && has_path_metadata_ref(query.having->condition);
  if (query.group_by)
    for (const Expr& g : query.group_by->expressions) grouped = grouped || has_path_metadata_ref(g);
  if (grouped)
    return std::unexpected(DbError::query_execution("path.* is not supported in GROUP BY or HAVING in Path Queries F2"));
  return {};
}

}  // namespace zudizid::query::zql::executor
