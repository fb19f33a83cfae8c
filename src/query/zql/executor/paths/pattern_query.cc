// The relationship-pattern road of FIND (pattern_entry.h).
//
// One pattern runs in one of two modes:
//   FastTraverse    a single hop (node, relationship, node) without
//                   quantifier, path.* reference, path reducer, semantic
//                   filter, embedding function or path program: streamed
//                   through operators (hop_query.h), aggregates included;
//   LinearBindings  every other pattern: the lazy linear traversal
//                   (traversal.h) into the path pipeline, with profiling on.
// Several patterns are joined (pattern_join.h) into the path pipeline.
#include "common/log.h"
#include "query/zql/executor/paths/hop_query.h"
#include "query/zql/executor/paths/path_functions.h"
#include "query/zql/executor/paths/path_pipeline.h"
#include "query/zql/executor/paths/path_values.h"
#include "query/zql/executor/paths/pattern_join.h"
#include "query/zql/executor/paths/traversal.h"
#include "query/zql/executor/pattern_entry.h"
#include "query/zql/executor/where/analysis.h"

namespace zudizid::query::zql::executor {

namespace {

using ast::Expr;

constexpr std::string_view kLog = "zudizid::query::zql::executor";

enum class PatternExecutionMode { FastTraverse, LinearBindings };

DbError exec_error(const char* text) { return DbError::query_execution(text); }

template <class F>
bool any_projection(const ast::Query& query, F&& test) {
  for (const auto& p : query.find.projections) {
    const auto* e = std::get_if<ast::ExpressionProjection>(&p);
    if (e != nullptr && test(e->expr)) return true;
  }
  return false;
}

bool where_holds(const ast::Query& query, bool (*test)(const Expr&)) {
  return query.filter && test(query.filter->condition);
}

bool is_reducer_call(const Expr& e) {
  const auto* call = e.get_if<Expr::FunctionCall>();
  return call != nullptr && is_path_reducer(call->name);
}

bool has_metadata_ref(const Expr& e) {
  std::vector<PathMetadataKind> kinds;
  check_path_metadata_refs(e, kinds);
  return !kinds.empty();
}

bool uses_path_metadata(const ast::Query& query) {
  if (any_projection(query, has_metadata_ref) || where_holds(query, has_metadata_ref)) return true;
  if (query.order_by)
    for (const auto& item : query.order_by->items)
      if (has_metadata_ref(item.expression)) return true;
  if (query.group_by)
    for (const auto& g : query.group_by->expressions)
      if (has_metadata_ref(g)) return true;
  return query.having && has_metadata_ref(query.having->condition);
}

bool has_special_projection_or_group_by(const ast::Query& query) {
  return query.group_by || any_projection(query, [](const Expr& e) { return is_special_function_call(e); });
}

PatternExecutionMode choose_mode(const ast::Query& query) {
  const auto& elements = query.from.patterns[0].elements;
  const auto* rel = std::get_if<ast::RelationshipPattern>(&elements[1]);
  const bool fast = elements.size() == 3 && !uses_path_metadata(query) && (rel == nullptr || !rel->quantifier) &&
                    !any_projection(query, is_reducer_call) && !where_holds(query, expr_uses_path_reducer) &&
                    !where_holds(query, expr_uses_semantic_path_filter) &&
                    !any_projection(query, expr_uses_path_embedding_function) &&
                    !where_holds(query, expr_uses_path_embedding_function) && !query_uses_path_eval(query);
  return fast ? PatternExecutionMode::FastTraverse : PatternExecutionMode::LinearBindings;
}

DbResult<void> check_multi_pattern(const ast::Query& query) {
  if (has_special_projection_or_group_by(query))
    return std::unexpected(exec_error("Pattern aggregations for multi-pattern queries are not supported yet"));
  if (any_projection(query, is_reducer_call) || where_holds(query, expr_uses_path_reducer))
    return std::unexpected(exec_error(
        "Path reducers (path_sum, path_min, path_max, path_avg) are not supported in multi-pattern queries in Path "
        "Queries F3"));
  if (where_holds(query, expr_uses_semantic_path_filter))
    return std::unexpected(
        exec_error("Semantic path filters are not supported in multi-pattern queries in Path Queries F4-D.1"));
  if (any_projection(query, expr_uses_path_embedding_function) ||
      where_holds(query, expr_uses_path_embedding_function))
    return std::unexpected(
        exec_error("Path embedding functions are not supported in multi-pattern queries in Path Queries F4-D"));
  if (query.return_expr)
    return std::unexpected(exec_error("RETURN clause is not supported in multi-pattern queries in Path Queries F4-C"));
  if (query_uses_path_eval(query))
    return std::unexpected(
        exec_error("INIT/GATHER/path_eval are not supported in multi-pattern queries in Path Queries F4-B"));
  return {};
}

DbResult<QueryResult> run_linear(QueryContext& context, const ast::Query& query) {
  if (has_special_projection_or_group_by(query))
    return std::unexpected(exec_error("Pattern aggregations for multi-hop queries are not supported yet"));
  if (query.order_by) {
    for (const auto& item : query.order_by->items) {
      if (expr_uses_path_reducer(item.expression))
        return std::unexpected(exec_error(
            "Path reducers (path_sum, path_min, path_max, path_avg) are not supported in ORDER BY in Path Queries F3"));
      if (expr_uses_path_eval(item.expression))
        return std::unexpected(exec_error("path_eval(\"...\") is not supported in ORDER BY in Path Queries F4-B"));
    }
  }
  const ast::Pattern& pattern = query.from.patterns[0];
  auto starts = pattern_start_nodes(context.graph, pattern, query);
  if (!starts) return std::unexpected(std::move(starts.error()));
  {
    std::lock_guard lock(context.path_profile_mu);
    context.path_profile = PathProfile{};
  }
  auto bindings = LinearBindings::create(context.graph, pattern, std::move(*starts), &context);
  if (!bindings) return std::unexpected(std::move(bindings.error()));
  uint64_t examined = 0;
  PathCursor paths([&bindings, &examined]() {
    auto next = bindings->next();
    if (next && *next) ++examined;
    return next;
  });
  auto result = run_path_pipeline(context, std::move(paths), query);
  if (result) {
    std::lock_guard lock(context.path_profile_mu);
    if (context.path_profile) context.path_profile->bindings_examined = examined;
  }
  return result;
}

}  // namespace

DbResult<QueryResult> execute_pattern_query(QueryContext& context, ast::Query query) {
  ZLOG(Info, kLog, "Executing streaming pattern matching query");
  if (query.from.patterns.empty()) return std::unexpected(exec_error("No patterns in FROM clause"));
  if (query.from.patterns.size() > 1) {
    if (auto checked = check_multi_pattern(query); !checked) return std::unexpected(std::move(checked.error()));
    auto joined = join_patterns(context, query);
    if (!joined) return std::unexpected(std::move(joined.error()));
    return run_path_pipeline(context, std::move(*joined), query);
  }
  if (query.from.patterns[0].elements.size() < 3)
    return std::unexpected(exec_error("Pattern must have at least: node -> rel -> node"));
  const PatternExecutionMode mode = choose_mode(query);
  ZLOG(Debug, kLog, "Pattern query execution mode selected: {}",
       mode == PatternExecutionMode::FastTraverse ? "FastTraverse" : "LinearBindings");
  if (mode == PatternExecutionMode::FastTraverse) return run_single_hop(context, query);
  return run_linear(context, query);
}

}  // namespace zudizid::query::zql::executor
