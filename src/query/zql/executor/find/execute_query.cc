// FIND over node patterns, and the EXPORT and EXPLAIN entries of statement
// dispatch (find_entry.h).
//
// One road for every node-only query:
//   validate -> path.* check -> start nodes (node id, index or label scan:
//   select_start_nodes) -> WHERE without algorithm conjuncts (vector
//   search calls answered from their precomputed id sets) ->
//     aggregated (special function projection or GROUP BY):
//       execute_aggregation over the matched nodes
//     else: one row per node (projection keys, ORDER BY extras, the id
//       column when algorithm conditions follow), algorithm conditions
//       and an algorithm-only HAVING on the rows
//   -> DISTINCT -> ORDER BY (stable) -> OFFSET/LIMIT -> extras removed.
// The stream stops early only when nothing after it drops or reorders
// rows, so LIMIT never returns fewer rows than exist.
#include <algorithm>
#include <unordered_map>
#include <unordered_set>

#include <fmt/format.h>

#include "common/ascii.h"
#include "common/log.h"
#include "graph/embeddings.h"
#include "graph/hybrid/hybrid.h"
#include "graph/reads.h"
#include "graph/vector/index_cache.h"
#include "graph/vector/live_search.h"
#include "planner/explain.h"
#include "query/zql/executor/aggregations/aggregation.h"
#include "query/zql/executor/aggregations/precompute.h"
#include "query/zql/executor/export/export_writer.h"
#include "query/zql/executor/find/find_helpers.h"
#include "query/zql/executor/ordering.h"
#include "query/zql/executor/where/analysis.h"
#include "query/zql/executor/find_entry.h"
#include "query/zql/executor/operators/filters.h"
#include "query/zql/executor/operators/projections.h"
#include "query/zql/executor/operators/start_nodes.h"
#include "query/zql/executor/pattern_entry.h"
#include "query/zql/executor/validation/validate.h"
#include "query/zql/executor/where/scopes.h"
#include "query/zql/parser/expr_walk.h"

namespace zudizid::query::zql::executor {

namespace {

using ast::Expr;
using operators::NodeStream;

constexpr std::string_view kLog = "zudizid::query::zql::executor";

DbError exec_error(std::string text) { return DbError::query_execution(std::move(text)); }

const std::string* string_literal(const Expr& e) {
  const auto* l = e.get_if<Expr::Literal>();
  return l && l->value.kind() == PropertyValue::Kind::String ? &l->value.as_string() : nullptr;
}

// ---- vector search calls in WHERE

using IdSets = std::unordered_map<const Expr::FunctionCall*, std::unordered_set<Uuid>>;

// similar_to(v, 'reference'[, 'model']) and hybrid(v, 'text', 'reference',
// 'model') with literal texts; other shapes are no search.
struct SearchCall {
  const Expr::FunctionCall* call;
  bool hybrid;
  std::string text;  // hybrid only
  std::string reference;
  std::string model;
};

std::vector<SearchCall> search_calls(const Expr& where) {
  std::vector<SearchCall> out;
  ast::walk_expr(where, [&](const Expr& e) {
    const auto* c = e.get_if<Expr::FunctionCall>();
    if (!c) return ast::Walk::Descend;
    const size_t n = c->args.size();
    if (common::ascii_iequals(c->name, "similar_to") && (n == 2 || n == 3)) {
      const std::string* ref = string_literal(c->args[1]);
      const std::string* model = n == 3 ? string_literal(c->args[2]) : nullptr;
      if (ref && (n == 2 || model)) out.push_back({c, false, {}, *ref, model ? *model : "default"});
    } else if (common::ascii_iequals(c->name, "hybrid") && n == 4) {
      const std::string* text = string_literal(c->args[1]);
      const std::string* ref = string_literal(c->args[2]);
      const std::string* model = string_literal(c->args[3]);
      if (text && ref && model) out.push_back({c, true, *text, *ref, *model});
    }
    return ast::Walk::Skip;
  });
  return out;
}

DbResult<std::unordered_set<Uuid>> run_search(graph::Graph& graph, const SearchCall& s, uint64_t k) {
  const std::string_view fn = s.hybrid ? "hybrid" : "similar_to";
  auto reference = graph::find_node_by_property(graph, "name", s.reference);
  if (!reference) return std::unexpected(exec_error(fmt::format("{}: reference node '{}' not found", fn, s.reference)));
  auto embedding = graph::get_node_embedding(graph, reference->id, s.model);
  if (!embedding)
    return std::unexpected(exec_error(
        fmt::format("{}: reference node '{}' has no embedding for model '{}'", fn, s.reference, s.model)));
  std::unordered_set<Uuid> ids;
  if (s.hybrid) {
    graph::hybrid::HybridRequest request;
    request.text = s.text;
    request.vector.emplace(std::move(embedding->vector), s.model);
    request.k = k;
    request.rrf_k = 60.0f;
    auto hits = graph::hybrid::search_hybrid(graph, request);
    if (!hits) return std::unexpected(std::move(hits.error()));
    for (const auto& hit : *hits) ids.insert(hit.node_id);
    return ids;
  }
  auto index = graph::embedding_index_for_model(graph, s.model);
  if (!index) return std::unexpected(std::move(index.error()));
  auto hits = graph::search_live_nodes(graph, **index, embedding->vector, k, graph::kDefaultSearchEf);
  if (!hits) return std::unexpected(std::move(hits.error()));
  for (const auto& hit : *hits) ids.insert(hit.first);
  return ids;
}

// WHERE of FIND over one node: the node road, with each vector search call
// true exactly for the nodes its search found.
class FindNodeScope final : public ConditionScope {
 public:
  FindNodeScope(const Node& node, std::string_view variable, const graph::Graph& graph, const IdSets& sets)
      : inner_(node, variable, &graph, Road::Find), node_(node), sets_(sets) {}
  MaybeValue property(std::string_view variable, std::string_view property) const override {
    return inner_.property(variable, property);
  }
  std::optional<DbResult<MaybeValue>> call(const Expr::FunctionCall& call) const override {
    auto set = sets_.find(&call);
    if (set != sets_.end()) return DbResult<MaybeValue>(PropertyValue::boolean(set->second.contains(node_.id)));
    return inner_.call(call);
  }

 private:
  NodeScope inner_;
  const Node& node_;
  const IdSets& sets_;
};

class FindWhereFilter final : public operators::NodeOperator {
 public:
  FindWhereFilter(NodeStream input, std::shared_ptr<const Expr> condition, std::string variable, graph::Graph graph,
                  IdSets sets)
      : input_(std::move(input)),
        condition_(std::move(condition)),
        variable_(std::move(variable)),
        graph_(std::move(graph)),
        sets_(std::move(sets)) {}
  std::optional<DbResult<Node>> next() override {
    while (auto item = input_->next()) {
      if (!*item) return item;
      auto keep = eval_condition(*condition_, FindNodeScope(**item, variable_, graph_, sets_));
      if (!keep) return DbResult<Node>(std::unexpected(std::move(keep.error())));
      if (*keep) return item;
    }
    return std::nullopt;
  }

 private:
  NodeStream input_;
  std::shared_ptr<const Expr> condition_;
  std::string variable_;
  graph::Graph graph_;
  IdSets sets_;
};

// ---- the node road

DbResult<const ast::NodePattern*> node_pattern_of(const ast::Query& query) {
  if (query.from.patterns.empty()) return std::unexpected(exec_error("No patterns in FROM clause"));
  const auto& elements = query.from.patterns[0].elements;
  if (elements.empty()) return std::unexpected(exec_error("Empty pattern"));
  if (elements.size() > 1) return std::unexpected(exec_error("Relationship patterns need execute_pattern_query()"));
  const auto* node = std::get_if<ast::NodePattern>(&elements[0]);
  if (!node) return std::unexpected(exec_error("Pattern cannot start with relationship"));
  return node;
}

bool is_relational(const ast::Query& query) {
  for (const auto& p : query.from.patterns)
    for (const auto& el : p.elements)
      if (std::holds_alternative<ast::RelationshipPattern>(el)) return true;
  return false;
}

bool is_aggregated(const ast::Query& query) {
  if (query.group_by) return true;
  for (const auto& projection : query.find.projections) {
    const auto* ep = std::get_if<ast::ExpressionProjection>(&projection);
    if (ep && is_special_function_call(ep->expr)) return true;
  }
  return false;
}

bool is_single_wildcard(const ast::Query& query) {
  return query.find.projections.size() == 1 && std::holds_alternative<ast::WildcardProjection>(query.find.projections[0]);
}

// The properties of `variable` that the query reads, so that a label scan
// decodes only those; none (every property) when it may read others: a *
// or v.* projection, or a call other than the aggregates, whose reads are
// not known here.
std::optional<std::vector<std::string>> properties_read(const ast::Query& query, const ast::NodePattern& node,
                                                        std::string_view variable) {
  std::vector<std::string> names;
  auto add = [&](const std::string& name) {
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  };
  bool any = false;
  auto visit = [&](const Expr& e) {
    if (const auto* p = e.get_if<Expr::Property>()) {
      if (p->variable == variable && !p->property.empty()) add(p->property);
      return ast::Walk::Descend;
    }
    if (const auto* c = e.get_if<Expr::FunctionCall>()) {
      if (common::ascii_iequals(c->name, "count")) return ast::Walk::Skip;  // its argument is not read
      if (aggregations::is_aggregation_call(e)) return ast::Walk::Descend;
    }
    if (e.kind() == Expr::Kind::FunctionCall || e.kind() == Expr::Kind::Wildcard) {
      any = true;
      return ast::Walk::Stop;
    }
    return ast::Walk::Descend;
  };
  for (const auto& projection : query.find.projections) {
    const auto* ep = std::get_if<ast::ExpressionProjection>(&projection);
    if (!ep) return std::nullopt;
    ast::walk_expr(ep->expr, visit);
  }
  if (query.filter) ast::walk_expr(query.filter->condition, visit);
  if (query.group_by)
    for (const Expr& e : query.group_by->expressions) ast::walk_expr(e, visit);
  if (query.having) ast::walk_expr(query.having->condition, visit);
  if (query.order_by)
    for (const auto& item : query.order_by->items) ast::walk_expr(item.expression, visit);
  if (any) return std::nullopt;
  for (const auto& [name, value] : node.properties) add(name);
  return names;
}

// DISTINCT, ORDER BY, OFFSET/LIMIT, then the ORDER BY extras removed.
QueryResult finish_rows(const ast::Query& query, QueryResult result, const std::vector<std::string>& extras) {
  if (query.find.distinct) apply_distinct(result);
  ZLOG(Debug, kLog, "After filter and project: {} rows (including {} extras)", result.rows.size(), extras.size());
  if (query.order_by)
    std::stable_sort(result.rows.begin(), result.rows.end(),
                     [&](const Row& a, const Row& b) { return compare_rows_for_order(query.order_by->items, a, b); });
  if (query.limit) {
    const uint64_t offset = std::min<uint64_t>(query.limit->offset.value_or(0), result.rows.size());
    result.rows.erase(result.rows.begin(), result.rows.begin() + static_cast<ptrdiff_t>(offset));
    if (result.rows.size() > query.limit->limit) result.rows.resize(query.limit->limit);
  }
  strip_extra_columns(result, extras);
  ZLOG(Info, kLog, "Query execution complete: {} rows", result.rows.size());
  return result;
}

DbResult<QueryResult> run_node_query(QueryContext& context, const ast::Query& query) {
  auto pattern = node_pattern_of(query);
  if (!pattern) return std::unexpected(std::move(pattern.error()));
  const ast::NodePattern& node = **pattern;
  const std::string variable = node.variable.value_or("n");
  const Expr* where = query.filter ? &query.filter->condition : nullptr;
  graph::Graph& graph = context.graph;

  const auto properties = properties_read(query, node, variable);
  // An aggregate of plain folds over a label scan reads no node into memory.
  if (!where && node.properties.empty() && properties && is_aggregated(query)) {
    if (auto folded = aggregations::fold_node_scan(graph, query, variable, node.label, *properties)) {
      if (!*folded) return std::unexpected(std::move(folded->error()));
      return finish_rows(query, std::move(**folded), {});
    }
  }
  auto start = operators::select_start_nodes(graph, node, variable, where, properties);
  if (!start) return std::unexpected(std::move(start.error()));
  NodeStream stream = std::move(start->nodes);

  // Algorithm conditions wait for the rows; an algorithm-only HAVING (all
  // validation lets through without GROUP BY) joins them.
  const bool aggregated = is_aggregated(query);
  std::optional<Expr> algorithm_part = where ? where_algorithm_part(*where) : std::nullopt;
  if (query.having && !aggregated)
    algorithm_part = algorithm_part ? Expr::binary(std::move(*algorithm_part), ast::BinaryOperator::And,
                                                   query.having->condition)
                                    : query.having->condition;
  if (std::optional<Expr> rest = where ? where_without_algorithms(*where) : std::nullopt) {
    const uint64_t k = query.limit ? query.limit->limit + query.limit->offset.value_or(0) : 10;
    // The id sets are keyed by the calls' addresses inside the condition
    // the filter keeps, so that condition is placed before they are taken.
    auto condition = std::make_shared<const Expr>(std::move(*rest));
    IdSets sets;
    for (const SearchCall& s : search_calls(*condition)) {
      auto ids = run_search(graph, s, k);
      if (!ids) return std::unexpected(std::move(ids.error()));
      sets.emplace(s.call, std::move(*ids));
    }
    stream = std::make_unique<FindWhereFilter>(std::move(stream), std::move(condition), variable, graph.clone(),
                                               std::move(sets));
  }

  QueryResult result;
  std::vector<std::string> extras;
  if (aggregated) {
    auto nodes = operators::drain(*stream);
    if (!nodes) return std::unexpected(std::move(nodes.error()));
    auto grouped = aggregations::execute_aggregation(std::move(*nodes), graph, query, variable);
    if (!grouped) return std::unexpected(std::move(grouped.error()));
    result = std::move(*grouped);
  } else {
    extras = order_by_extra_columns(query);
    const std::string id_column = variable + ".id";
    std::vector<std::string> keys = collect_names(query.find.projections, projection_source_columns_next);
    for (const std::string& e : extras)
      if (std::find(keys.begin(), keys.end(), e) == keys.end()) keys.push_back(e);
    const bool add_id = algorithm_part && std::find(keys.begin(), keys.end(), id_column) == keys.end();
    if (add_id) keys.push_back(id_column);
    operators::RowStream rows =
        is_single_wildcard(query)
            ? operators::RowStream(std::make_unique<operators::NodeExpandProjection>(variable, std::move(stream)))
            : operators::RowStream(
                  std::make_unique<operators::NodeColumnProjection>(variable, std::move(keys), std::move(stream)));
    // Only when nothing below drops or reorders rows may the stream stop
    // at offset + limit.
    std::optional<uint64_t> enough;
    if (query.limit && !query.order_by && !query.find.distinct && !algorithm_part)
      enough = query.limit->limit + query.limit->offset.value_or(0);
    while (!enough || result.rows.size() < *enough) {
      auto row = rows->next();
      if (!row) break;
      if (!*row) return std::unexpected(std::move(row->error()));
      result.rows.push_back(std::move(**row));
    }
    result.columns = collect_names(query.find.projections, query_column_names_next);
    for (const std::string& e : extras)
      if (std::find(result.columns.begin(), result.columns.end(), e) == result.columns.end()) result.columns.push_back(e);
    const auto aliases = aliased_property_refs(query.find.projections);
    for (Row& row : result.rows)
      for (const auto& [source, alias] : aliases)
        if (auto it = row.find(source); it != row.end()) row[alias] = it->second;

    if (algorithm_part) {
      auto all_nodes = graph.scan_current_nodes();
      if (!all_nodes) return std::unexpected(std::move(all_nodes.error()));
      auto scores = aggregations::precompute_algorithms(graph, query, *all_nodes);
      if (!scores) return std::unexpected(std::move(scores.error()));
      std::vector<Row> kept;
      for (Row& row : result.rows) {
        auto keep = eval_algorithm_condition(row, *algorithm_part, *scores);
        if (!keep) return std::unexpected(std::move(keep.error()));
        if (*keep) kept.push_back(std::move(row));
      }
      result.rows = std::move(kept);
      if (add_id)
        for (Row& row : result.rows) row.erase(id_column);
    }
  }

  return finish_rows(query, std::move(result), extras);
}

}  // namespace

DbResult<QueryResult> execute_query(QueryContext& context, ast::Query query) {
  if (auto checked = validate(ast::Statement{query}); !checked) return std::unexpected(std::move(checked.error()));
  {
    std::lock_guard lock(context.path_profile_mu);
    context.path_profile.reset();
  }
  if (auto paths = check_path_metadata(query); !paths) return std::unexpected(std::move(paths.error()));
  if (query.time_travel)
    return std::unexpected(
        exec_error("AT TIMESTAMP is not supported: FIND reads the current data only"));
  ZLOG(Info, kLog, "Executing ZQL query with {} patterns", query.from.patterns.size());
  // Several patterns, node-only ones included, are joined on the pattern road.
  if (is_relational(query) || query.from.patterns.size() > 1) return execute_pattern_query(context, std::move(query));
  return run_node_query(context, query);
}

DbResult<StatementResult> write_export(QueryResult result, const ast::ExportClause& clause) {
  auto written = render_export(result, clause);
  if (!written) return std::unexpected(std::move(written.error()));
  return StatementResult::export_done(ExportOutcome{std::move(written->format), std::move(written->content), written->rows});
}

DbResult<std::string> explain_plan(QueryContext& context, const ast::Statement& statement) {
  return planner::explain_plan(statement, context.graph);
}

}  // namespace zudizid::query::zql::executor
