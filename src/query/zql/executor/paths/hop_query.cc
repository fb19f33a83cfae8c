#include "query/zql/executor/paths/hop_query.h"

#include <algorithm>

#include "common/log.h"
#include "query/zql/executor/aggregations/aggregation.h"
#include "query/zql/executor/aggregations/precompute.h"
#include "query/zql/executor/find/find_helpers.h"
#include "query/zql/executor/operators/filters.h"
#include "query/zql/executor/operators/projections.h"
#include "query/zql/executor/operators/start_nodes.h"
#include "query/zql/executor/operators/traverse.h"
#include "query/zql/executor/ordering.h"
#include "query/zql/parser/expr_walk.h"
#include "query/zql/executor/paths/path_keys.h"
#include "query/zql/executor/where/analysis.h"

namespace zudizid::query::zql::executor {

namespace {

using ast::Expr;
using ast::Walk;

constexpr std::string_view kLog = "zudizid::query::zql::executor";

DbError exec_error(const char* text) { return DbError::query_execution(text); }

void append_missing(std::vector<std::string>& list, std::vector<std::string>* added, const std::string& name) {
  if (std::find(list.begin(), list.end(), name) != list.end()) return;
  list.push_back(name);
  if (added != nullptr) added->push_back(name);
}

// Counts what the traversal hands to the rest of the road.
class CountedBindings final : public operators::BindingOperator {
 public:
  CountedBindings(operators::BindingStream input, uint64_t& pulled) : input_(std::move(input)), pulled_(pulled) {}
  std::optional<DbResult<Binding>> next() override {
    auto item = input_->next();
    if (item) ++pulled_;
    return item;
  }

 private:
  operators::BindingStream input_;
  uint64_t& pulled_;
};

DbResult<QueryResult> hop_rows(QueryContext& context, operators::BindingStream stream, const ast::Query& query,
                               const EndNames& names, const std::optional<Expr>& algorithm_part) {
  const auto& projections = query.find.projections;
  std::vector<std::string> keys = path_plain_keys(projections);
  const std::vector<std::string> extras = order_by_extra_columns(query);
  for (const auto& e : extras) append_missing(keys, nullptr, e);
  // Keys only the algorithm step reads: the ids of the scored variables and
  // what the algorithm conjuncts refer to.
  std::vector<std::string> scratch;
  const auto algorithms = collect_names(projections, algorithm_projections_next);
  for (const auto& a : algorithms) append_missing(keys, &scratch, a.variable + ".id");
  if (algorithm_part) {
    walk_expr(*algorithm_part, [&](const Expr& e) {
      if (const auto* p = e.get_if<Expr::Property>())
        append_missing(keys, &scratch, p->property.empty() ? p->variable + ".id" : property_key(*p));
      return Walk::Descend;
    });
  }

  QueryResult result;
  operators::RelationshipProjectOperator rows(names.source, names.target, std::move(keys), names.rel,
                                              std::move(stream));
  std::optional<uint64_t> enough;
  if (query.limit && !query.order_by && !query.find.distinct && !algorithm_part)
    enough = query.limit->limit + query.limit->offset.value_or(0);
  while (!enough || result.rows.size() < *enough) {
    auto row = rows.next();
    if (!row) break;
    if (!*row) return std::unexpected(std::move(row->error()));
    result.rows.push_back(std::move(**row));
  }
  result.columns = collect_names(projections, projection_column_names_next);
  for (const auto& e : extras) append_missing(result.columns, nullptr, e);
  const auto aliases = aliased_property_refs(projections);
  for (Row& row : result.rows)
    for (const auto& [source, alias] : aliases)
      if (auto it = row.find(source); it != row.end()) row[alias] = it->second;

  if (!algorithms.empty() || algorithm_part) {
    auto cache = query_algorithm_cache(context.graph, query);
    if (!cache) return std::unexpected(std::move(cache.error()));
    for (Row& row : result.rows) {
      for (const auto& a : algorithms) {
        auto id = row.find(a.variable + ".id");
        if (id == row.end() || id->second.kind() != PropertyValue::Kind::String) continue;
        if (auto uuid = Uuid::parse(id->second.as_string()))
          row[a.column] = aggregations::algorithm_value_for_node(a.function, *uuid, *cache);
      }
    }
    if (algorithm_part) {
      std::vector<Row> kept;
      for (Row& row : result.rows) {
        auto keep = eval_algorithm_condition(row, *algorithm_part, *cache);
        if (!keep) return std::unexpected(std::move(keep.error()));
        if (*keep) kept.push_back(std::move(row));
      }
      result.rows = std::move(kept);
    }
    for (Row& row : result.rows)
      for (const auto& k : scratch) row.erase(k);
  }

  finish_rows(result, query);
  strip_extra_columns(result, extras);
  ZLOG(Info, kLog, "Pattern query execution complete: {} rows", result.rows.size());
  return result;
}

}  // namespace

DbResult<aggregations::AlgorithmCache> query_algorithm_cache(graph::Graph& graph, const ast::Query& query) {
  if (aggregations::named_algorithms(query).none()) return aggregations::AlgorithmCache{};
  auto nodes = graph.scan_current_nodes();
  if (!nodes) return std::unexpected(std::move(nodes.error()));
  return aggregations::precompute_algorithms(graph, query, *nodes);
}

DbResult<QueryResult> run_single_hop(QueryContext& context, const ast::Query& query) {
  const auto& elements = query.from.patterns[0].elements;
  const auto* from = std::get_if<ast::NodePattern>(&elements[0]);
  if (from == nullptr) return std::unexpected(exec_error("Pattern must start with node"));
  const auto* rel = std::get_if<ast::RelationshipPattern>(&elements[1]);
  if (rel == nullptr) return std::unexpected(exec_error("Expected relationship after node"));
  const auto* to = std::get_if<ast::NodePattern>(&elements[2]);
  if (to == nullptr) return std::unexpected(exec_error("Expected node after relationship"));

  const EndNames names = resolve_end_names(from->variable, to->variable, rel->variable, query);
  const Expr* where = query.filter ? &query.filter->condition : nullptr;
  // The source name is what WHERE calls the start node, so its id and
  // indexed equalities there may seed the hop.
  auto starts = operators::select_start_nodes(context.graph, *from, names.source, where);
  if (!starts) return std::unexpected(std::move(starts.error()));
  auto traverse = std::make_unique<operators::TraverseStream>(context.graph, std::move(starts->nodes),
                                                              operators::direction_of(rel->direction), rel->rel_type,
                                                              to->label, to->properties, rel->properties);
  traverse->list_self_loops_twice();
  operators::BindingStream stream = std::make_unique<CountedBindings>(std::move(traverse), context.hop_bindings_pulled);

  std::optional<Expr> algorithm_part = where ? where_algorithm_part(*where) : std::nullopt;
  std::optional<Expr> plain = where == nullptr ? std::nullopt
                              : algorithm_part ? where_without_algorithms(*where)
                                               : std::optional<Expr>(*where);
  if (plain) {
    stream = std::make_unique<operators::WhereFilterStream>(
        std::move(stream), std::make_shared<const Expr>(std::move(*plain)), names.source, names.target);
  }
  ZLOG(Debug, kLog, "Streaming pattern matches ready");

  bool aggregated = query.group_by.has_value();
  for (const auto& p : query.find.projections) {
    const auto* e = std::get_if<ast::ExpressionProjection>(&p);
    aggregated = aggregated || (e != nullptr && aggregations::is_aggregation_call(e->expr));
  }
  if (aggregated) return aggregate_hop_bindings(context, *stream, query, names, algorithm_part);
  // Without groups, HAVING (algorithm calls only, as validation lets it
  // through) tests the rows as the algorithm conjuncts do.
  if (query.having)
    algorithm_part = algorithm_part ? Expr::binary(std::move(*algorithm_part), ast::BinaryOperator::And,
                                                   query.having->condition)
                                    : query.having->condition;
  return hop_rows(context, std::move(stream), query, names, algorithm_part);
}

}  // namespace zudizid::query::zql::executor
