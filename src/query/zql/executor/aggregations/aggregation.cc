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
#include "storage/node_fields.h"
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

// count, sum, avg, min and max over one group, fed node by node in scan
// order with each node's value of the aggregated property (null: absent).
//   sum: the numeric values added as doubles; avg: that sum over their
//   number, Null without any; min/max: by the value order, skipping Null,
//   the earliest of equal values staying; no node with the property at all
//   is an error, only Nulls give Null.
enum class Fold { Count, Sum, Avg, Min, Max };

std::optional<Fold> fold_named(std::string_view name) {
  if (name == "count") return Fold::Count;
  if (name == "sum") return Fold::Sum;
  if (name == "avg") return Fold::Avg;
  if (name == "min") return Fold::Min;
  if (name == "max") return Fold::Max;
  return std::nullopt;
}

class Accumulator {
 public:
  explicit Accumulator(Fold fold) : fold_(fold) {}

  void add(const PropertyValue* v) {
    ++nodes_;
    if (!v) return;
    switch (fold_) {
      case Fold::Count: return;
      case Fold::Sum:
      case Fold::Avg:
        if (is_number(*v)) {
          sum_ += number_of(*v);
          ++numeric_;
        }
        return;
      case Fold::Min:
      case Fold::Max: {
        found_ = true;
        if (v->is_null()) return;
        if (best_) {
          auto order = v->cmp(*best_);
          if (fold_ == Fold::Max ? !(order > 0) : !(order < 0)) return;
        }
        best_ = *v;
        return;
      }
    }
  }

  DbResult<PropertyValue> result() const {
    switch (fold_) {
      case Fold::Count: return PropertyValue::integer(static_cast<int64_t>(nodes_));
      case Fold::Sum: return PropertyValue::float64(sum_);
      case Fold::Avg:
        return numeric_ ? PropertyValue::float64(sum_ / static_cast<double>(numeric_)) : PropertyValue::null();
      case Fold::Min:
      case Fold::Max:
        if (!found_)
          return std::unexpected(exec_error(fmt::format("No values found for {}()", fold_ == Fold::Max ? "max" : "min")));
        return best_ ? *best_ : PropertyValue::null();
    }
    return PropertyValue::null();
  }

 private:
  Fold fold_;
  size_t nodes_ = 0;
  double sum_ = 0.0;
  size_t numeric_ = 0;
  bool found_ = false;
  std::optional<PropertyValue> best_;
};

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
  // Equal values (same kind, same value) are equivalent in that order; the
  // order itself decides the rest (Int 1 and Float 1.0, NaNs).
  bool operator()(const GroupKey& a, const GroupKey& b) const {
    if (a.text != b.text || a.values.size() != b.values.size()) return false;
    for (size_t i = 0; i < a.values.size(); ++i) {
      const PropertyValue& x = a.values[i];
      const PropertyValue& y = b.values[i];
      if (!x.eq(y) && (PropertyValue::total_less(x, y) || PropertyValue::total_less(y, x))) return false;
    }
    return true;
  }
};

struct Group {
  std::vector<Node> nodes;
};

// The grouped value of a node with `id`, `label` and `value` of property
// `p`: id and label by name, else the property (absent as Null).
PropertyValue grouped_value(const Expr::Property& p, const Uuid& id, const std::string& label,
                            const PropertyValue* value) {
  if (p.property == "id") return PropertyValue::string(id.to_string());
  if (p.property == "label") return PropertyValue::string(label);
  return value ? *value : PropertyValue::null();
}

// The grouped value of one node, after checking the expression.
DbResult<PropertyValue> group_value(const Expr& e, const Node& n, std::string_view variable) {
  const auto* p = e.get_if<Expr::Property>();
  if (!p) return std::unexpected(exec_error("GROUP BY only supports property expressions"));
  if (p->variable != variable) return std::unexpected(exec_error(fmt::format("Unknown variable in GROUP BY: {}", p->variable)));
  return grouped_value(*p, n.id, n.label, property_of(n, p->property));
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

// Groups gathered under their key through a hash map and put in key order
// once at the end. The caller fills one scratch key per node and asks for
// its group.
template <class G>
class GroupTable {
 public:
  GroupKey& scratch() {
    scratch_.text.clear();
    scratch_.values.clear();
    return scratch_;
  }
  // The key's text gets each value's key text, joined by "|".
  static void add_value(GroupKey& key, PropertyValue v) {
    if (!key.values.empty()) key.text += '|';
    append_group_key_text(key.text, &v);
    key.values.push_back(std::move(v));
  }
  // The group of the scratch key; `make()` builds a new one.
  template <class Make>
  G& group(Make&& make) {
    auto slot = slots_.find(scratch_);
    if (slot == slots_.end()) {
      slot = slots_.emplace(scratch_, groups_.size()).first;
      groups_.emplace_back(scratch_, make());
    }
    return groups_[slot->second].second;
  }
  std::vector<std::pair<GroupKey, G>> sorted() && {
    std::sort(groups_.begin(), groups_.end(),
              [](const auto& a, const auto& b) { return GroupKeyLess{}(a.first, b.first); });
    return std::move(groups_);
  }

 private:
  std::unordered_map<GroupKey, size_t, GroupKeyHash, GroupKeyEquivalent> slots_;
  std::vector<std::pair<GroupKey, G>> groups_;
  GroupKey scratch_;
};

// The columns of a grouped result (result.columns filled) and how each row
// begins.
struct GroupedColumns {
  std::string id_column;
  // (column, group expression position) of the grouped property columns.
  std::vector<std::pair<std::string, size_t>> grouped;
  std::vector<const ast::ExpressionProjection*> functions;

  GroupedColumns(QueryResult& result, const ast::Query& query, std::string_view variable,
                 const std::vector<Expr>& group_exprs)
      : id_column(fmt::format("{}.id", variable)) {
    result.columns.push_back(id_column);
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
      grouped.emplace_back(std::move(column), i);
    }
    for (const auto& proj : query.find.projections) {
      const auto* ep = std::get_if<ast::ExpressionProjection>(&proj);
      if (!ep || !is_special_function_call(ep->expr)) continue;
      functions.push_back(ep);
      result.columns.push_back(ep->alias ? *ep->alias : ep->expr.get_if<Expr::FunctionCall>()->name);
    }
  }

  // The group's id and grouped columns; the functions are the caller's.
  Row row_head(const Uuid& first, const GroupKey& key) const {
    Row row;
    row[id_column] = PropertyValue::string(first.to_string());
    for (const auto& [column, i] : grouped) row[column] = PropertyValue::string(group_key_text(&key.values[i]));
    return row;
  }
};

DbResult<QueryResult> execute_group_by(std::vector<Node> nodes, const graph::Graph& graph, const ast::Query& query,
                                       std::string_view variable, const std::vector<Expr>& group_exprs,
                                       AggregationContext& context) {
  GroupTable<Group> table;
  for (Node& n : nodes) {
    GroupKey& key = table.scratch();
    for (const Expr& e : group_exprs) {
      auto v = group_value(e, n, variable);
      if (!v) return std::unexpected(std::move(v.error()));
      GroupTable<Group>::add_value(key, std::move(*v));
    }
    table.group([] { return Group{}; }).nodes.push_back(std::move(n));
  }
  auto groups = std::move(table).sorted();

  QueryResult result;
  const GroupedColumns columns(result, query, variable, group_exprs);
  for (auto& [key, group] : groups) {
    if (query.having) {
      auto keep = eval_condition(query.having->condition,
                                 GroupScope(group.nodes, variable, group_exprs, key.values, graph, context));
      if (!keep) return std::unexpected(std::move(keep.error()));
      if (!*keep) continue;
    }
    Row row = columns.row_head(group.nodes.front().id, key);
    for (const auto* ep : columns.functions) {
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

// ---- folding a label scan ------------------------------------------------------

// A query the fold serves: its grouped values and functions, each reading
// one slot of the properties the scan decodes (none: id, label, count).
struct FoldPlan {
  struct Key {
    const Expr::Property* property;
    std::optional<size_t> slot;
  };
  struct Function {
    std::string column;
    Fold fold;
    std::optional<size_t> slot;
  };
  bool grouped = false;
  std::vector<Expr> group_exprs;
  std::vector<Key> keys;
  std::vector<Function> functions;  // the function columns, in order
};

std::optional<size_t> slot_of(const std::vector<std::string>& properties, const std::string& name) {
  auto it = std::find(properties.begin(), properties.end(), name);
  if (it == properties.end()) return std::nullopt;
  return static_cast<size_t>(it - properties.begin());
}

// The plan, or none when the query needs the nodes themselves or would fail
// before its first row (the node road then gives that answer).
std::optional<FoldPlan> fold_plan(const ast::Query& query, std::string_view variable,
                                  const std::vector<std::string>& properties) {
  if (query.having) return std::nullopt;
  FoldPlan plan;
  auto function = [&](const ast::ExpressionProjection& ep) -> std::optional<FoldPlan::Function> {
    const auto* call = ep.expr.get_if<Expr::FunctionCall>();
    auto fold = call ? fold_named(call->name) : std::nullopt;
    if (!fold) return std::nullopt;
    FoldPlan::Function f{ep.alias ? *ep.alias : call->name, *fold, std::nullopt};
    if (*fold == Fold::Count) return f;
    auto p = aggregated_property(*call, variable);
    if (!p) return std::nullopt;
    f.slot = slot_of(properties, (*p)->property);
    if (!f.slot) return std::nullopt;
    return f;
  };
  for (const auto& proj : query.find.projections) {
    const auto* ep = std::get_if<ast::ExpressionProjection>(&proj);
    if (!ep) return std::nullopt;
    if (const auto* p = ep->expr.get_if<Expr::Property>()) {
      if (p->variable != variable) return std::nullopt;
      if (!query.group_by) plan.group_exprs.push_back(ep->expr);
      continue;
    }
    if (!function(*ep)) return std::nullopt;
  }
  if (query.group_by) plan.group_exprs = query.group_by->expressions;
  plan.grouped = !plan.group_exprs.empty();
  for (const Expr& e : plan.group_exprs) {
    const auto* p = e.get_if<Expr::Property>();
    if (!p || p->variable != variable) return std::nullopt;
    FoldPlan::Key key{p, std::nullopt};
    if (p->property != "id" && p->property != "label") {
      key.slot = slot_of(properties, p->property);
      if (!key.slot) return std::nullopt;
    }
    plan.keys.push_back(key);
  }
  // The function columns as the node road lists them.
  for (const auto& proj : query.find.projections) {
    const auto* ep = std::get_if<ast::ExpressionProjection>(&proj);
    if (ep->expr.kind() == Expr::Kind::Property) continue;
    if (plan.grouped && !is_special_function_call(ep->expr)) return std::nullopt;
    plan.functions.push_back(*function(*ep));
  }
  return plan;
}

struct FoldGroup {
  Uuid first;
  std::vector<Accumulator> accumulators;
};

const PropertyValue* slot_value(const NodeFields& fields, const std::optional<size_t>& slot) {
  if (!slot || !fields.values[*slot]) return nullptr;
  return &*fields.values[*slot];
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
  if (auto fold = fold_named(name)) {
    auto p = aggregated_property(*call, variable);
    if (!p) return std::unexpected(std::move(p.error()));
    Accumulator acc(*fold);
    for (const Node& n : nodes) acc.add(property_of(n, (*p)->property));
    return named(acc.result());
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

namespace zudizid::query::zql::executor::aggregations {

std::optional<DbResult<QueryResult>> fold_node_scan(const graph::Graph& graph, const ast::Query& query,
                                                    std::string_view variable, const std::optional<std::string>& label,
                                                    const std::vector<std::string>& properties) {
  auto plan = fold_plan(query, variable, properties);
  if (!plan) return std::nullopt;
  auto fresh = [&] {
    std::vector<Accumulator> accumulators;
    for (const auto& f : plan->functions) accumulators.emplace_back(f.fold);
    return accumulators;
  };
  auto add = [&](FoldGroup& group, const NodeFields& fields) {
    for (size_t j = 0; j < plan->functions.size(); ++j)
      group.accumulators[j].add(slot_value(fields, plan->functions[j].slot));
  };
  GroupTable<FoldGroup> table;
  FoldGroup all{Uuid{}, fresh()};
  auto folded = storage::visit_node_fields(*graph.storage(), label, properties,
                                           [&](const NodeFields& fields) -> DbResult<void> {
    if (!plan->grouped) {
      add(all, fields);
      return {};
    }
    GroupKey& key = table.scratch();
    for (const auto& k : plan->keys)
      GroupTable<FoldGroup>::add_value(key, grouped_value(*k.property, fields.id, fields.label, slot_value(fields, k.slot)));
    add(table.group([&] { return FoldGroup{fields.id, fresh()}; }), fields);
    return {};
  });
  if (!folded) return DbResult<QueryResult>(std::unexpected(std::move(folded.error())));

  QueryResult result;
  auto fill = [&](Row& row, const FoldGroup& group) -> DbResult<void> {
    for (size_t j = 0; j < plan->functions.size(); ++j) {
      auto v = group.accumulators[j].result();
      if (!v) return std::unexpected(std::move(v.error()));
      row[plan->functions[j].column] = std::move(*v);
    }
    return {};
  };
  if (!plan->grouped) {
    for (const auto& f : plan->functions) result.columns.push_back(f.column);
    Row row;
    if (auto r = fill(row, all); !r) return DbResult<QueryResult>(std::unexpected(std::move(r.error())));
    result.rows.push_back(std::move(row));
    return DbResult<QueryResult>(std::move(result));
  }
  const GroupedColumns columns(result, query, variable, plan->group_exprs);
  for (auto& [key, group] : std::move(table).sorted()) {
    Row row = columns.row_head(group.first, key);
    if (auto r = fill(row, group); !r) return DbResult<QueryResult>(std::unexpected(std::move(r.error())));
    result.rows.push_back(std::move(row));
  }
  return DbResult<QueryResult>(std::move(result));
}

}  // namespace zudizid::query::zql::executor::aggregations
