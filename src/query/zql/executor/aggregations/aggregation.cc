#include "query/zql/executor/aggregations/aggregation.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include <fmt/format.h>

#include "common/float_text.h"
#include "graph/embeddings.h"
#include "graph/graph.h"
#include "graph/vector/index_cache.h"
#include "graph/vector/live_search.h"
#include "query/zql/executor/aggregations/precompute.h"
#include "query/zql/executor/aggregations/shortest_path_call.h"
#include "query/zql/executor/where/analysis.h"
#include "query/zql/executor/where/condition.h"
#include "query/zql/executor/where/scopes.h"
#include "query/zql/parser/expr_walk.h"

namespace zudizid::query::zql::executor::aggregations {

namespace {

using ast::Expr;

DbError exec_error(std::string text) { return DbError::query_execution(std::move(text)); }

const std::string* string_literal(const Expr& e) {
  const auto* l = e.get_if<Expr::Literal>();
  return l && l->value.kind() == PropertyValue::Kind::String ? &l->value.as_string() : nullptr;
}

bool is_number(const PropertyValue& v) {
  return v.kind() == PropertyValue::Kind::Int || v.kind() == PropertyValue::Kind::Float;
}

double number_of(const PropertyValue& v) {
  return v.kind() == PropertyValue::Kind::Int ? static_cast<double>(v.as_int()) : v.as_float();
}

// The property of a sum/avg/min/max argument.
DbResult<const Expr::Property*> aggregated_property(const Expr::FunctionCall& call, std::string_view variable) {
  if (call.args.empty()) return std::unexpected(exec_error(fmt::format("{}() requires an argument", call.name)));
  const auto* p = call.args[0].get_if<Expr::Property>();
  if (!p) return std::unexpected(exec_error("Aggregation argument must be a property"));
  if (p->variable != variable) return std::unexpected(exec_error(fmt::format("Unknown variable: {}", p->variable)));
  return p;
}

const PropertyValue* property_of(const Node& n, const std::string& name) {
  auto it = n.properties.find(name);
  return it == n.properties.end() ? nullptr : &it->second;
}

// Sum and count of the numeric values.
std::pair<double, size_t> numeric_sum(std::span<const Node> nodes, const std::string& property) {
  double sum = 0.0;
  size_t count = 0;
  for (const Node& n : nodes) {
    const PropertyValue* v = property_of(n, property);
    if (v && is_number(*v)) {
      sum += number_of(*v);
      ++count;
    }
  }
  return {sum, count};
}

// min or max by the value order, skipping Null; the earliest of equal values
// stays. No node with the property at all is an error; only Nulls give Null.
DbResult<PropertyValue> extreme(std::span<const Node> nodes, const std::string& property, bool want_max) {
  const PropertyValue* best = nullptr;
  bool found = false;
  for (const Node& n : nodes) {
    const PropertyValue* v = property_of(n, property);
    if (!v) continue;
    found = true;
    if (v->is_null()) continue;
    if (!best) {
      best = v;
      continue;
    }
    auto order = v->cmp(*best);
    if (want_max ? order > 0 : order < 0) best = v;
  }
  if (!found) return std::unexpected(exec_error(fmt::format("No values found for {}()", want_max ? "max" : "min")));
  return best ? *best : PropertyValue::null();
}

DbResult<PropertyValue> knn_nodes(std::span<const Node> nodes, const graph::Graph& graph,
                                  const Expr::FunctionCall& call, const AggregationContext& context) {
  if (call.args.size() != 3) return std::unexpected(exec_error("knn_nodes(n, k, \"model\") requires 3 arguments"));
  const auto* k_literal = call.args[1].get_if<Expr::Literal>();
  if (!k_literal || k_literal->value.kind() != PropertyValue::Kind::Int)
    return std::unexpected(exec_error("knn_nodes: second argument must be an integer k"));
  const int64_t k = k_literal->value.as_int();
  if (k < 1) return std::unexpected(exec_error("knn_nodes: k must be a positive integer"));
  const std::string* model = string_literal(call.args[2]);
  if (!model) return std::unexpected(exec_error("knn_nodes: third argument must be a model name string"));
  if (nodes.empty()) return PropertyValue::string("[]");
  auto embedding = graph::get_node_embedding(graph, nodes.front().id, *model);
  if (!embedding) return PropertyValue::string("[]");
  auto index = context.knn_indexes.find(*model);
  if (index == context.knn_indexes.end())
    return std::unexpected(
        exec_error(fmt::format("knn_nodes: no embedding index for model '{}' (not precomputed)", *model)));
  auto hits = graph::search_live_nodes(graph, *index->second, embedding->vector, static_cast<uint64_t>(k),
                                       graph::kDefaultSearchEf);
  if (!hits) return std::unexpected(std::move(hits.error()));
  std::string text = "[";
  for (size_t i = 0; i < hits->size(); ++i) {
    if (i) text += ',';
    text += '"';
    (*hits)[i].first.append_to(text);
    text += '"';
  }
  text += ']';
  return PropertyValue::string(std::move(text));
}

// Cosine similarity in 32-bit floats; 0 for different or empty lengths and
// for a zero vector.
double cosine32(std::span<const float> a, std::span<const float> b) {
  if (a.size() != b.size() || a.empty()) return 0.0;
  float dot = 0, na = 0, nb = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    dot += a[i] * b[i];
    na += a[i] * a[i];
    nb += b[i] * b[i];
  }
  if (na == 0.0f || nb == 0.0f) return 0.0;
  return static_cast<double>(dot / (std::sqrt(na) * std::sqrt(nb)));
}

DbResult<PropertyValue> embedding_similarity(std::span<const Node> nodes, const graph::Graph& graph,
                                             const Expr::FunctionCall& call) {
  if (call.args.size() != 3)
    return std::unexpected(exec_error("embedding_similarity(n, \"ref-uuid\", \"model\") requires 3 arguments"));
  const std::string* reference = string_literal(call.args[1]);
  if (!reference) return std::unexpected(exec_error("embedding_similarity: second argument must be a UUID string"));
  const std::string* model = string_literal(call.args[2]);
  if (!model) return std::unexpected(exec_error("embedding_similarity: third argument must be a model name string"));
  auto ref_id = common::Uuid::parse(*reference);
  if (!ref_id) return std::unexpected(exec_error(fmt::format("embedding_similarity: invalid UUID '{}'", *reference)));
  auto ref = graph::get_node_embedding(graph, *ref_id, *model);
  if (!ref)
    return std::unexpected(exec_error(fmt::format(
        "embedding_similarity: no embedding found for reference node '{}' model '{}'", *reference, *model)));
  double sum = 0.0;
  size_t count = 0;
  for (const Node& n : nodes) {
    auto e = graph::get_node_embedding(graph, n.id, *model);
    if (!e) continue;
    sum += cosine32(e->vector, ref->vector);
    ++count;
  }
  return PropertyValue::float64(count ? sum / static_cast<double>(count) : 0.0);
}

// ---- groups -----------------------------------------------------------------

// group_key_text appended to `out`.
void append_group_key_text(std::string& out, const PropertyValue* v) {
  if (!v) {
    out += "null";
    return;
  }
  switch (v->kind()) {
    case PropertyValue::Kind::Null: out += "null"; return;
    case PropertyValue::Kind::Bool: out += v->as_bool() ? "true" : "false"; return;
    case PropertyValue::Kind::Int: fmt::format_to(std::back_inserter(out), "{}", v->as_int()); return;
    case PropertyValue::Kind::Float: out += common::float_display(v->as_float()); return;
    case PropertyValue::Kind::String: out += v->as_string(); return;
    case PropertyValue::Kind::Bytes: out += "<bytes>"; return;
    case PropertyValue::Kind::Object: out += "<object>"; return;
    case PropertyValue::Kind::List: out += "<list>"; return;
  }
  out += "null";
}


struct GroupKey {
  std::string text;  // the key texts joined by "|"
  std::vector<PropertyValue> values;
};

struct GroupKeyLess {
  bool operator()(const GroupKey& a, const GroupKey& b) const {
    if (a.text != b.text) return a.text < b.text;
    return std::lexicographical_compare(a.values.begin(), a.values.end(), b.values.begin(), b.values.end(),
                                        PropertyValue::total_less);
  }
};

// Hashing and equality that agree with GroupKeyLess: equal keys have equal
// texts, and equivalence is that order's.
struct GroupKeyHash {
  size_t operator()(const GroupKey& k) const { return std::hash<std::string>{}(k.text); }
};
struct GroupKeyEquivalent {
  bool operator()(const GroupKey& a, const GroupKey& b) const {
    return a.text == b.text && !GroupKeyLess{}(a, b) && !GroupKeyLess{}(b, a);
  }
};

struct Group {
  std::vector<Node> nodes;
};

// The grouped value of one node: id and label by name, else the property
// (absent as Null).
DbResult<PropertyValue> group_value(const Expr& e, const Node& n, std::string_view variable) {
  const auto* p = e.get_if<Expr::Property>();
  if (!p) return std::unexpected(exec_error("GROUP BY only supports property expressions"));
  if (p->variable != variable) return std::unexpected(exec_error(fmt::format("Unknown variable in GROUP BY: {}", p->variable)));
  if (p->property == "id") return PropertyValue::string(n.id.to_string());
  if (p->property == "label") return PropertyValue::string(n.label);
  const PropertyValue* v = property_of(n, p->property);
  return v ? *v : PropertyValue::null();
}

// ---- HAVING -------------------------------------------------------------------

// HAVING over one group, through the WHERE evaluator: a grouped property is
// the group's key value, another property of the variable the first node's,
// a call the function's value over the group's nodes.
class GroupScope final : public ConditionScope {
 public:
  GroupScope(std::span<const Node> nodes, std::string_view variable, const std::vector<Expr>& group_exprs,
             const std::vector<PropertyValue>& key_values, const graph::Graph& graph, AggregationContext& context)
      : nodes_(nodes), variable_(variable), group_exprs_(group_exprs), key_values_(key_values), graph_(graph),
        context_(context) {}

  MaybeValue property(std::string_view variable, std::string_view property) const override {
    for (size_t i = 0; i < group_exprs_.size() && i < key_values_.size(); ++i) {
      const auto* g = group_exprs_[i].get_if<Expr::Property>();
      if (g && g->variable == variable && g->property == property) return key_values_[i];
    }
    if (variable != variable_ || nodes_.empty()) return std::nullopt;
    return node_field(nodes_.front(), property);
  }
  std::optional<DbResult<MaybeValue>> call(const Expr::FunctionCall& call) const override {
    auto named = evaluate_call(nodes_, variable_, graph_, call, std::nullopt, context_);
    if (!named) return DbResult<MaybeValue>(std::unexpected(std::move(named.error())));
    return DbResult<MaybeValue>(std::move(named->second));
  }

 private:
  std::span<const Node> nodes_;
  std::string_view variable_;
  const std::vector<Expr>& group_exprs_;
  const std::vector<PropertyValue>& key_values_;
  const graph::Graph& graph_;
  AggregationContext& context_;
};

// ---- shapes -------------------------------------------------------------------

DbResult<QueryResult> execute_group_by(std::vector<Node> nodes, const graph::Graph& graph, const ast::Query& query,
                                       std::string_view variable, const std::vector<Expr>& group_exprs,
                                       AggregationContext& context) {
  // Nodes gather under their key through a hash map; the groups are put in
  // key order once at the end. One scratch key serves every lookup.
  std::unordered_map<GroupKey, size_t, GroupKeyHash, GroupKeyEquivalent> slots;
  std::vector<std::pair<GroupKey, Group>> groups;
  GroupKey scratch;
  for (Node& n : nodes) {
    scratch.text.clear();
    scratch.values.clear();
    for (const Expr& e : group_exprs) {
      auto v = group_value(e, n, variable);
      if (!v) return std::unexpected(std::move(v.error()));
      if (!scratch.values.empty()) scratch.text += '|';
      append_group_key_text(scratch.text, &*v);
      scratch.values.push_back(std::move(*v));
    }
    auto slot = slots.find(scratch);
    if (slot == slots.end()) {
      slot = slots.emplace(scratch, groups.size()).first;
      groups.emplace_back(scratch, Group{});
    }
    groups[slot->second].second.nodes.push_back(std::move(n));
  }
  std::sort(groups.begin(), groups.end(),
            [](const auto& a, const auto& b) { return GroupKeyLess{}(a.first, b.first); });

  QueryResult result;
  const std::string id_column = fmt::format("{}.id", variable);
  result.columns.push_back(id_column);
  // (column, group expression position) of the grouped property columns.
  std::vector<std::pair<std::string, size_t>> grouped_columns;
  for (size_t i = 0; i < group_exprs.size(); ++i) {
    const auto* p = group_exprs[i].get_if<Expr::Property>();
    if (!p) continue;
    std::string natural = fmt::format("{}.{}", p->variable, p->property);
    if (natural == id_column) continue;
    std::string column = natural;
    for (const auto& proj : query.find.projections) {
      const auto* ep = std::get_if<ast::ExpressionProjection>(&proj);
      if (!ep || !ep->alias) continue;
      const auto* pp = ep->expr.get_if<Expr::Property>();
      if (pp && pp->variable == p->variable && pp->property == p->property) {
        column = *ep->alias;
        break;
      }
    }
    result.columns.push_back(column);
    grouped_columns.emplace_back(std::move(column), i);
  }
  std::vector<const ast::ExpressionProjection*> functions;
  for (const auto& proj : query.find.projections) {
    const auto* ep = std::get_if<ast::ExpressionProjection>(&proj);
    if (!ep || !is_special_function_call(ep->expr)) continue;
    functions.push_back(ep);
    result.columns.push_back(ep->alias ? *ep->alias : ep->expr.get_if<Expr::FunctionCall>()->name);
  }

  for (auto& [key, group] : groups) {
    if (query.having) {
      auto keep = eval_condition(query.having->condition,
                                 GroupScope(group.nodes, variable, group_exprs, key.values, graph, context));
      if (!keep) return std::unexpected(std::move(keep.error()));
      if (!*keep) continue;
    }
    Row row;
    row[id_column] = PropertyValue::string(group.nodes.front().id.to_string());
    for (const auto& [column, i] : grouped_columns) row[column] = PropertyValue::string(group_key_text(&key.values[i]));
    for (const auto* ep : functions) {
      auto named = evaluate_function(group.nodes, variable, graph, ep->expr, ep->alias, context);
      if (!named) return std::unexpected(std::move(named.error()));
      row[std::move(named->first)] = std::move(named->second);
    }
    result.rows.push_back(std::move(row));
  }
  return result;
}

DbResult<QueryResult> single_row(std::vector<Node> nodes, const graph::Graph& graph, const ast::Query& query,
                                 std::string_view variable, AggregationContext& context) {
  QueryResult result;
  Row row;
  for (const auto& proj : query.find.projections) {
    const auto* ep = std::get_if<ast::ExpressionProjection>(&proj);
    if (!ep) continue;
    auto named = evaluate_function(nodes, variable, graph, ep->expr, ep->alias, context);
    if (!named) return std::unexpected(std::move(named.error()));
    result.columns.push_back(named->first);
    row[std::move(named->first)] = std::move(named->second);
  }
  if (query.having) {
    static const std::vector<Expr> kNoGroups;
    static const std::vector<PropertyValue> kNoKey;
    auto keep =
        eval_condition(query.having->condition, GroupScope(nodes, variable, kNoGroups, kNoKey, graph, context));
    if (!keep) return std::unexpected(std::move(keep.error()));
    if (!*keep) return result;
  }
  result.rows.push_back(std::move(row));
  return result;
}

}  // namespace

bool is_aggregation_call(const Expr& e) {
  const auto* c = e.get_if<Expr::FunctionCall>();
  if (!c) return false;
  for (std::string_view n : {"sum", "avg", "min", "max", "count"})
    if (common::ascii_iequals(c->name, n)) return true;
  return false;
}

std::string group_key_text(const PropertyValue* v) {
  std::string out;
  append_group_key_text(out, v);
  return out;
}

DbResult<std::pair<std::string, PropertyValue>> evaluate_function(std::span<const Node> nodes,
                                                                  std::string_view variable,
                                                                  const graph::Graph& graph, const Expr& expr,
                                                                  const std::optional<std::string>& alias,
                                                                  AggregationContext& context) {
  const auto* call = expr.get_if<Expr::FunctionCall>();
  if (!call) return std::unexpected(exec_error("Not an aggregation expression"));
  return evaluate_call(nodes, variable, graph, *call, alias, context);
}

DbResult<std::pair<std::string, PropertyValue>> evaluate_call(std::span<const Node> nodes, std::string_view variable,
                                                              const graph::Graph& graph,
                                                              const Expr::FunctionCall& call_ref,
                                                              const std::optional<std::string>& alias,
                                                              AggregationContext& context) {
  const auto* call = &call_ref;
  std::string column = alias ? *alias : call->name;
  const std::string& name = call->name;
  auto named = [&](DbResult<PropertyValue> v) -> DbResult<std::pair<std::string, PropertyValue>> {
    if (!v) return std::unexpected(std::move(v.error()));
    return std::pair{std::move(column), std::move(*v)};
  };

  if (name == "count") return named(PropertyValue::integer(static_cast<int64_t>(nodes.size())));
  if (name == "sum" || name == "avg" || name == "min" || name == "max") {
    auto p = aggregated_property(*call, variable);
    if (!p) return std::unexpected(std::move(p.error()));
    const std::string& property = (*p)->property;
    if (name == "min" || name == "max") return named(extreme(nodes, property, name == "max"));
    auto [sum, count] = numeric_sum(nodes, property);
    if (name == "sum") return named(PropertyValue::float64(sum));
    return named(count ? PropertyValue::float64(sum / static_cast<double>(count)) : PropertyValue::null());
  }
  if (auto mean = evaluate_algorithm_mean(name, nodes, context.scores)) return named(std::move(*mean));
  if (name == "knn_nodes") return named(knn_nodes(nodes, graph, *call, context));
  if (name == "shortestPath") {
    // Every row gets the same value: evaluated once per call and query.
    auto cached = context.shortest_paths.find(call);
    if (cached != context.shortest_paths.end()) return named(cached->second);
    auto v = evaluate_shortest_path_call(graph, call->args);
    if (v) context.shortest_paths.emplace(call, *v);
    return named(std::move(v));
  }
  if (name == "embedding_similarity") return named(embedding_similarity(nodes, graph, *call));
  return std::unexpected(exec_error(fmt::format("Unknown aggregation function: {}", name)));
}

DbResult<QueryResult> execute_aggregation(std::vector<Node> nodes, const graph::Graph& graph,
                                          const ast::Query& query, std::string_view variable) {
  AggregationContext context;
  auto scores = precompute_algorithms(graph, query, nodes);
  if (!scores) return std::unexpected(std::move(scores.error()));
  context.scores = std::move(*scores);
  for (const auto& proj : query.find.projections) {
    const auto* ep = std::get_if<ast::ExpressionProjection>(&proj);
    const auto* call = ep ? ep->expr.get_if<Expr::FunctionCall>() : nullptr;
    if (!call || call->name != "knn_nodes" || call->args.size() != 3) continue;
    const std::string* model = string_literal(call->args[2]);
    if (!model || context.knn_indexes.contains(*model)) continue;
    // A model without an index stays absent; knn_nodes reports it.
    if (auto index = graph::embedding_index_for_model(graph, *model)) context.knn_indexes.emplace(*model, *index);
  }
  if (query.group_by) return execute_group_by(std::move(nodes), graph, query, variable, query.group_by->expressions, context);
  std::vector<Expr> implicit;
  for (const auto& proj : query.find.projections) {
    const auto* ep = std::get_if<ast::ExpressionProjection>(&proj);
    if (ep && ep->expr.kind() == Expr::Kind::Property) implicit.push_back(ep->expr);
  }
  if (!implicit.empty()) return execute_group_by(std::move(nodes), graph, query, variable, implicit, context);
  return single_row(std::move(nodes), graph, query, variable, context);
}

}  // namespace zudizid::query::zql::executor::aggregations
