#include "query/zql/executor/find/find_helpers.h"

#include <algorithm>
#include <array>
#include <unordered_set>

#include <fmt/format.h>

#include "common/ascii.h"
#include "query/zql/executor/ordering.h"
#include "query/zql/executor/where/condition.h"
#include "query/zql/parser/expr_walk.h"

namespace zudizid::query::zql::executor {

namespace {

using ast::Expr;

void push_unique(std::vector<std::string>& list, const std::string& s) {
  if (std::find(list.begin(), list.end(), s) == list.end()) list.push_back(s);
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

void finish_rows(QueryResult& result, const ast::Query& query) {
  if (query.find.distinct) apply_distinct(result);
  if (query.order_by)
    std::stable_sort(result.rows.begin(), result.rows.end(),
                     [&](const Row& a, const Row& b) { return compare_rows_for_order(query.order_by->items, a, b); });
  if (query.limit) {
    const uint64_t offset = std::min<uint64_t>(query.limit->offset.value_or(0), result.rows.size());
    result.rows.erase(result.rows.begin(), result.rows.begin() + static_cast<std::ptrdiff_t>(offset));
    if (result.rows.size() > query.limit->limit) result.rows.resize(query.limit->limit);
  }
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
