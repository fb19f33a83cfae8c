#include "query/zql/executor/paths/path_pipeline.h"
#include "query/zql/executor/ordering.h"

#include <algorithm>

#include "query/zql/executor/find/find_helpers.h"
#include "query/zql/parser/expr_walk.h"
#include "query/zql/executor/paths/path_embeddings.h"
#include "query/zql/executor/paths/path_env.h"
#include "query/zql/executor/paths/path_functions.h"
#include "query/zql/executor/paths/path_keys.h"
#include "query/zql/executor/paths/path_values.h"
#include "query/zql/executor/paths/vm.h"
#include "query/zql/parser/vm_parser.h"

namespace zudizid::query::zql::executor {

namespace {

using ast::Expr;
using ast::Walk;
using Kind = PropertyValue::Kind;

// Every expression of the query that may hold a path function.
template <class F>
void for_each_query_expr(const ast::Query& q, F&& f) {
  for (const auto& p : q.find.projections) {
    if (const auto* e = std::get_if<ast::ExpressionProjection>(&p)) f(e->expr);
  }
  if (q.filter) f(q.filter->condition);
  if (q.order_by) {
    for (const auto& item : q.order_by->items) f(item.expression);
  }
  if (q.group_by) {
    for (const auto& e : q.group_by->expressions) f(e);
  }
  if (q.having) f(q.having->condition);
}

struct Programs {
  std::vector<std::pair<std::string, Expr>> init;
  std::vector<std::pair<std::string, Expr>> gather;
  std::optional<Expr> ret;
};

// Parses every program text once; path_eval texts go into the env's table.
DbResult<Programs> parse_programs(const ast::Query& q, PathEnv& env) {
  Programs out;
  for (const auto& text : q.init) {
    auto a = parser::parse_vm_assignment(text);
    if (!a) return std::unexpected(std::move(a.error()));
    out.init.push_back(std::move(*a));
  }
  for (const auto& text : q.gather) {
    auto a = parser::parse_vm_assignment(text);
    if (!a) return std::unexpected(std::move(a.error()));
    out.gather.push_back(std::move(*a));
  }
  if (q.return_expr) {
    auto e = parser::parse_vm_expression(*q.return_expr);
    if (!e) return std::unexpected(std::move(e.error()));
    out.ret = std::move(*e);
  }
  std::optional<DbError> failed;
  for_each_query_expr(q, [&](const Expr& root) {
    walk_expr(root, [&](const Expr& e) {
      const auto* call = e.get_if<Expr::FunctionCall>();
      if (failed || call == nullptr || !is_path_eval(call->name) || call->args.size() != 1) return Walk::Descend;
      const auto* lit = call->args[0].get_if<Expr::Literal>();
      if (lit == nullptr || lit->value.kind() != Kind::String) return Walk::Descend;
      if (auto parsed = env.path_eval_program(lit->value.as_string()); !parsed) {
        failed = parsed.error();
        return Walk::Stop;
      }
      return Walk::Descend;
    });
  });
  if (failed) return std::unexpected(std::move(*failed));
  return out;
}

DbResult<void> run_programs(const Programs& programs, const PathBinding& path, PathEvalRecord& record) {
  const auto depth = static_cast<int64_t>(path.edges.size());
  for (const auto& [target, expr] : programs.init) {
    auto v = eval_vm_expr(expr, record, VmContext{.depth = depth});
    if (!v) return std::unexpected(std::move(v.error()));
    record.state.assign(target, std::move(*v));
  }
  for (size_t i = 0; i < path.edges.size() && !programs.gather.empty(); ++i) {
    const VmContext context{.source = i < path.nodes.size() ? &path.nodes[i] : nullptr,
                            .target = i + 1 < path.nodes.size() ? &path.nodes[i + 1] : nullptr,
                            .edge = &path.edges[i],
                            .depth = depth};
    for (const auto& [target, expr] : programs.gather) {
      auto v = eval_vm_expr(expr, record, context);
      if (!v) return std::unexpected(std::move(v.error()));
      record.state.assign(target, std::move(*v));
    }
  }
  if (programs.ret) {
    auto v = eval_vm_expr(*programs.ret, record, VmContext{.depth = depth, .nodes = &path.nodes});
    if (!v) return std::unexpected(std::move(v.error()));
    const Kind k = v->kind();
    if (k == Kind::Object || k == Kind::List || k == Kind::Bytes) {
      return std::unexpected(DbError::query_execution(
          "RETURN must produce a scalar value (Int, Float, Bool, String, or Null) in Path Queries F4-C"));
    }
    record.result = std::move(*v);
  }
  return {};
}

struct RowPlan {
  std::vector<std::string> plain;
  std::vector<ReducerProjection> reducers;
  std::vector<PathEvalProjection> evals;
  std::vector<EmbeddingProjection> embeddings;
  std::vector<MetadataProjection> metadata;
  std::vector<std::pair<std::string, std::string>> aliases;  // (source key, alias)
};

void bind_plain(Row& row, const std::string& column, const PathBinding& path) {
  if (column == "*") {
    for (const auto& [name, pos] : path.node_vars) bind_node_columns(row, name, path.nodes[pos]);
    for (const auto& [name, pos] : path.edge_vars) bind_edge_columns(row, name, path.edges[pos]);
    return;
  }
  const size_t dot = column.find('.');
  if (dot == std::string::npos) {
    if (auto v = path_property_value(path, column, "")) row[column] = std::move(*v);
    return;
  }
  const std::string_view variable = std::string_view(column).substr(0, dot);
  const std::string_view property = std::string_view(column).substr(dot + 1);
  if (property.find('.') != std::string_view::npos) return;
  if (property == "*") {
    if (const Node* n = path.node_var(variable)) {
      bind_node_columns(row, std::string(variable), *n);
    } else if (const Edge* e = path.edge_var(variable)) {
      bind_edge_columns(row, std::string(variable), *e);
    }
    return;
  }
  if (auto v = path_property_value(path, variable, property)) row[column] = std::move(*v);
}

DbResult<Row> build_row(const RowPlan& plan, PathEnv& env, const PathBinding& path, const PathEvalRecord* record) {
  Row row;
  for (const auto& column : plan.plain) bind_plain(row, column, path);
  for (const auto& r : plan.reducers) {
    auto v = eval_path_reducer(path.edges, r.function, r.property);
    if (!v) return std::unexpected(std::move(v.error()));
    row[r.column] = std::move(*v);
  }
  for (const auto& e : plan.evals) {
    auto v = run_path_eval(env, path, e.text, record);
    if (!v) return std::unexpected(std::move(v.error()));
    row[e.column] = std::move(*v);
  }
  for (const auto& e : plan.embeddings) {
    auto v = eval_path_embedding_function(env, path, e.function, e.args);
    if (!v) return std::unexpected(std::move(v.error()));
    row[e.column] = std::move(*v);
  }
  for (const auto& m : plan.metadata) {
    if (m.property == "start" || m.property == "end") {
      if (!path.nodes.empty()) row[m.column] = node_ref_value(m.property == "start" ? path.nodes.front() : path.nodes.back());
    } else if (record != nullptr) {
      if (m.property == "state") {
        row[m.column] = record->state.to_object();
      } else if (record->result) {
        row[m.column] = *record->result;
      }
    }
  }
  for (const auto& [source, alias] : plan.aliases) {
    if (auto it = row.find(source); it != row.end()) row[alias] = it->second;
  }
  return row;
}

void append_missing(std::vector<std::string>& list, const std::string& name) {
  if (std::find(list.begin(), list.end(), name) == list.end()) list.push_back(name);
}

}  // namespace

void bind_node_columns(Row& row, const std::string& variable, const Node& node) {
  for (const auto& [name, value] : node.properties) row[variable + "." + name] = value;
  row[variable + ".label"] = PropertyValue::string(node.label);
  row[variable + ".id"] = PropertyValue::string(node.id.to_string());
}

void bind_edge_columns(Row& row, const std::string& variable, const Edge& edge) {
  for (const auto& [name, value] : edge.properties) row[variable + "." + name] = value;
  row[variable + ".type"] = PropertyValue::string(edge.edge_type);
  row[variable + ".id"] = PropertyValue::string(edge.id.to_string());
}

bool query_uses_path_eval(const ast::Query& q) {
  if (!q.init.empty() || !q.gather.empty() || q.return_expr) return true;
  bool found = false;
  for_each_query_expr(q, [&](const Expr& e) { found = found || expr_uses_path_eval(e); });
  return found;
}

DbResult<QueryResult> run_path_pipeline(QueryContext& context, PathCursor paths, const ast::Query& query) {
  PathEnv env(context.graph);
  const Expr* where = query.filter ? &query.filter->condition : nullptr;
  const bool path_aware = where != nullptr &&
                          (expr_uses_path_reducer(*where) || expr_uses_path_eval(*where) ||
                           expr_references_path_result(*where) || expr_uses_semantic_path_filter(*where) ||
                           expr_uses_path_embedding_function(*where));
  const bool evaluates = query_uses_path_eval(query);
  auto programs = parse_programs(query, env);
  if (!programs) return std::unexpected(std::move(programs.error()));

  const auto& projections = query.find.projections;
  RowPlan plan;
  auto reducers = path_reducer_projections(projections);
  if (!reducers) return std::unexpected(std::move(reducers.error()));
  plan.reducers = std::move(*reducers);
  auto evals = path_eval_projections(projections);
  if (!evals) return std::unexpected(std::move(evals.error()));
  plan.evals = std::move(*evals);
  auto embeddings = path_embedding_projections(projections);
  if (!embeddings) return std::unexpected(std::move(embeddings.error()));
  plan.embeddings = std::move(*embeddings);
  plan.metadata = path_metadata_projections(projections);
  plan.plain = path_plain_keys(projections);
  const std::vector<std::string> extras = order_by_extra_columns(query);
  for (const auto& extra : extras) append_missing(plan.plain, extra);
  plan.aliases = aliased_property_refs(projections);

  QueryResult result;
  result.columns = path_projection_columns(projections);
  for (const auto& r : plan.reducers) append_missing(result.columns, r.column);
  for (const auto& e : plan.evals) append_missing(result.columns, e.column);
  for (const auto& m : plan.metadata) append_missing(result.columns, m.column);
  for (const auto& extra : extras) append_missing(result.columns, extra);

  const bool holds_all = query.find.distinct || query.order_by.has_value() || !query.limit;
  const uint64_t wanted = query.limit ? query.limit->limit + query.limit->offset.value_or(0) : 0;
  uint64_t emitted = 0;
  while (holds_all || result.rows.size() < wanted) {
    auto next = paths.next();
    if (!next) break;
    if (!*next) return std::unexpected(std::move(next->error()));
    const PathBinding& path = **next;
    std::optional<PathEvalRecord> record;
    if (evaluates) {
      record.emplace();
      if (auto ran = run_programs(*programs, path, *record); !ran) return std::unexpected(std::move(ran.error()));
    }
    const PathEvalRecord* rec = record ? &*record : nullptr;
    if (where != nullptr) {
      auto keep = path_aware ? eval_path_aware_condition(env, path, *where, rec) : eval_path_condition(path, *where);
      if (!keep) return std::unexpected(std::move(keep.error()));
      if (!*keep) continue;
    }
    ++emitted;
    if (result.rows.size() >= kMaxHeldPathRows) {
      return std::unexpected(DbError::query_execution(
          "Path query keeps more than 1000000 rows; add a LIMIT without ORDER BY or DISTINCT, or narrow the pattern"));
    }
    auto row = build_row(plan, env, path, rec);
    if (!row) return std::unexpected(std::move(row.error()));
    result.rows.push_back(std::move(*row));
  }
  {
    std::lock_guard lock(context.path_profile_mu);
    if (context.path_profile) context.path_profile->bindings_emitted = emitted;
  }

  finish_rows(result, query);
  strip_extra_columns(result, extras);
  return result;
}

}  // namespace zudizid::query::zql::executor
