// The relationship-pattern road of FIND (pattern_entry.h) for one linear
// pattern: its matches are traversed lazily into the path pipeline.
#include "query/zql/executor/find/find_helpers.h"
#include "query/zql/executor/operators/start_nodes.h"
#include "query/zql/executor/paths/path_pipeline.h"
#include "query/zql/executor/paths/traversal.h"
#include "query/zql/executor/pattern_entry.h"
#include "query/zql/executor/where/analysis.h"

namespace zudizid::query::zql::executor {

namespace {

bool is_aggregated(const ast::Query& query) {
  if (query.group_by || query.having) return true;
  for (const auto& projection : query.find.projections) {
    const auto* ep = std::get_if<ast::ExpressionProjection>(&projection);
    if (ep && is_special_function_call(ep->expr)) return true;
  }
  return false;
}

// The start nodes: the one start-node selection when the first node's
// variable names that node in every match (it is not bound again later),
// else a label scan.
DbResult<graph::NodeCursor> start_nodes(const graph::Graph& graph, const ast::Query& query) {
  const auto& elements = query.from.patterns[0].elements;
  const auto* first = std::get_if<ast::NodePattern>(&elements[0]);
  if (first == nullptr) return graph::NodeCursor();
  const std::string variable = first->variable.value_or("");
  bool rebound = false;
  for (size_t i = 1; i < elements.size(); ++i) {
    if (const auto* n = std::get_if<ast::NodePattern>(&elements[i]); n != nullptr && n->variable == first->variable) {
      rebound = true;
    }
  }
  if (variable.empty() || rebound) return label_scan(graph, first->label);
  auto selected =
      operators::select_start_nodes(graph, *first, variable, query.filter ? &query.filter->condition : nullptr);
  if (!selected) return std::unexpected(std::move(selected.error()));
  return graph::NodeCursor([stream = std::move(selected->nodes)]() mutable { return stream->next(); });
}

}  // namespace

DbResult<QueryResult> execute_pattern_query(QueryContext& context, ast::Query query) {
  if (query.from.patterns.size() != 1 || is_aggregated(query)) {
    return std::unexpected(DbError::query_execution(
        "Aggregation and several patterns over relationship patterns are not available in this build"));
  }
  if (query.from.patterns[0].elements.empty()) return std::unexpected(DbError::query_execution("Empty pattern"));
  auto starts = start_nodes(context.graph, query);
  if (!starts) return std::unexpected(std::move(starts.error()));
  {
    std::lock_guard lock(context.path_profile_mu);
    context.path_profile = PathProfile{};
  }
  auto bindings = LinearBindings::create(context.graph, query.from.patterns[0], std::move(*starts), &context);
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

}  // namespace zudizid::query::zql::executor
