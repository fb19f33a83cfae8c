#include "query/zql/executor/paths/path_functions.h"

#include <cmath>
#include <fmt/format.h>
#include <limits>

#include "common/utf8.h"
#include "query/zql/executor/arithmetic.h"
#include "query/zql/executor/paths/expr_tree_eval.h"
#include "query/zql/parser/expr_walk.h"
#include "query/zql/executor/paths/path_embeddings.h"
#include "query/zql/executor/paths/path_values.h"
#include "query/zql/executor/paths/semantic_filters.h"
#include "query/zql/executor/paths/vm.h"

namespace zudizid::query::zql::executor {

namespace {

using ast::BinaryOperator;
using ast::Expr;
using ast::Walk;
using Kind = PropertyValue::Kind;
using Outcome = std::optional<PropertyValue>;

DbError exec_error(std::string text) { return DbError::query_execution(std::move(text)); }

bool lowered_is_one_of(std::string_view name, std::initializer_list<std::string_view> names) {
  auto lowered = common::ascii_lowered(name);
  if (!lowered) return false;
  for (std::string_view n : names) {
    if (*lowered == n) return true;
  }
  return false;
}

const std::string* string_literal(const Expr& e) {
  const auto* lit = e.get_if<Expr::Literal>();
  return lit != nullptr && lit->value.kind() == Kind::String ? &lit->value.as_string() : nullptr;
}

bool call_named(const Expr& e, bool (*test)(std::string_view)) {
  const auto* call = e.get_if<Expr::FunctionCall>();
  return call != nullptr && test(call->name);
}

DbResult<Outcome> eval_call(PathEnv& env, const PathBinding& path, const Expr::FunctionCall& call,
                            const PathEvalRecord* record) {
  if (is_path_reducer(call.name)) {
    auto property = reducer_property_arg(call);
    if (!property) return std::unexpected(std::move(property.error()));
    return eval_path_reducer(path.edges, call.name, *property);
  }
  if (is_path_eval(call.name)) {
    auto text = path_eval_text_arg(call);
    if (!text) return std::unexpected(std::move(text.error()));
    return run_path_eval(env, path, *text, record);
  }
  if (is_semantic_path_filter(call.name)) {
    auto passed = eval_semantic_path_filter(env, path, call.name, call.args);
    if (!passed) return std::unexpected(std::move(passed.error()));
    return PropertyValue::boolean(*passed);
  }
  if (is_path_embedding_function(call.name)) return eval_path_embedding_function(env, path, call.name, call.args);
  return std::unexpected(exec_error(fmt::format("Unknown function in WHERE: {}", call.name)));
}

DbResult<Outcome> eval_property(const PathBinding& path, const Expr& expr, const Expr::Property& prop,
                                const PathEvalRecord* record) {
  if (prop.property.empty() && record != nullptr) {
    if (const PropertyValue* v = record->state.find(prop.variable)) return *v;
  }
  if (prop.variable == "path") {
    if (prop.property == "start" || prop.property == "end") {
      if (path.nodes.empty()) return Outcome{};
      return node_ref_value(prop.property == "start" ? path.nodes.front() : path.nodes.back());
    }
    if (prop.property == "result") {
      if (record == nullptr) return std::unexpected(exec_error("path.result requires a RETURN clause in Path Queries F4-C"));
      return record->result;
    }
    if (prop.property == "state") {
      if (record == nullptr) return Outcome{};
      return record->state.to_object();
    }
  }
  return path_binding_value(path, expr);
}

struct PathAwareRules {
  PathEnv& env;
  const PathBinding& path;
  const PathEvalRecord* record;

  DbResult<Outcome> leaf(const Expr& expr) {
    if (const auto* lit = expr.get_if<Expr::Literal>()) return lit->value;
    if (const auto* prop = expr.get_if<Expr::Property>()) return eval_property(path, expr, *prop, record);
    if (const auto* call = expr.get_if<Expr::FunctionCall>()) return eval_call(env, path, *call, record);
    return Outcome{};
  }
  static DbResult<bool> logic_operand(BinaryOperator, Outcome&& v) {
    if (!v) return false;
    if (v->kind() != Kind::Bool) {
      return std::unexpected(
          exec_error(fmt::format("Path-aware WHERE expression must evaluate to Bool, got {}", v->debug_string())));
    }
    return v->as_bool();
  }
  static DbResult<Outcome> binary(BinaryOperator op, Outcome&& l, Outcome&& r) {
    if (!l || !r) return Outcome{};
    return eval_vm_binary(op, *l, *r);
  }
  static DbResult<Outcome> unary(ast::UnaryOperator op, Outcome&& v) {
    if (!v) return Outcome{};
    return eval_vm_unary(op, *v);
  }
  static Outcome from_bool(bool b) { return PropertyValue::boolean(b); }
};

// Double folds over the values of a reducer with at least one Float.
PropertyValue fold_floats(std::string_view lowered, const std::vector<PropertyValue>& values) {
  auto as_double = [](const PropertyValue& v) {
    return v.kind() == Kind::Int ? static_cast<double>(v.as_int()) : v.as_float();
  };
  if (lowered == "path_min" || lowered == "path_max") {
    const bool min = lowered == "path_min";
    double best = min ? std::numeric_limits<double>::infinity() : -std::numeric_limits<double>::infinity();
    for (const PropertyValue& v : values) {
      const double d = as_double(v);
      if (std::isnan(d)) continue;
      if (min ? d < best : d > best) best = d;
    }
    return PropertyValue::float64(best);
  }
  double sum = -0.0;
  for (const PropertyValue& v : values) sum += as_double(v);
  if (lowered == "path_avg") sum /= static_cast<double>(values.size());
  return PropertyValue::float64(sum);
}

}  // namespace

bool is_path_reducer(std::string_view name) {
  return lowered_is_one_of(name, {"path_sum", "path_min", "path_max", "path_avg"});
}

bool is_path_eval(std::string_view name) {
  constexpr std::string_view kName = "path_eval";
  if (name.size() != kName.size()) return false;
  for (size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != kName[i]) return false;
  }
  return true;
}

bool is_path_embedding_function(std::string_view name) {
  return lowered_is_one_of(name, {"path_embedding", "pattern_embedding", "path_anomaly_score", "path_has_embeddings",
                                  "path_knn_references", "pattern_has_embeddings", "path_embedding_similarity",
                                  "pattern_embedding_similarity"});
}

bool is_semantic_path_filter(std::string_view name) {
  return lowered_is_one_of(name, {"path_start_instanceof", "path_end_instanceof", "path_any_instanceof",
                                  "path_all_instanceof", "path_start_subclassof", "path_end_subclassof",
                                  "path_any_subclassof", "path_all_subclassof"});
}

bool expr_uses_path_reducer(const Expr& expr) {
  // Only operators are searched: no call's arguments.
  bool found = false;
  walk_expr(expr, [&](const Expr& e) {
    const auto* call = e.get_if<Expr::FunctionCall>();
    if (call == nullptr) return Walk::Descend;
    found = is_path_reducer(call->name);
    return found ? Walk::Stop : Walk::Skip;
  });
  return found;
}

bool expr_uses_path_embedding_function(const Expr& expr) {
  return ast::find_expr(expr, [](const Expr& e) { return call_named(e, is_path_embedding_function); }) != nullptr;
}

bool expr_uses_semantic_path_filter(const Expr& expr) {
  return ast::find_expr(expr, [](const Expr& e) { return call_named(e, is_semantic_path_filter); }) != nullptr;
}

bool expr_uses_path_eval(const Expr& expr) {
  return ast::find_expr(expr, [](const Expr& e) { return call_named(e, is_path_eval); }) != nullptr;
}

bool expr_references_path_result(const Expr& expr) {
  return ast::find_expr(expr, [](const Expr& e) {
           const auto* p = e.get_if<Expr::Property>();
           return p != nullptr && p->variable == "path" && p->property == "result";
         }) != nullptr;
}

DbResult<PropertyValue> eval_path_reducer(std::span<const Edge> edges, std::string_view function,
                                          std::string_view property) {
  if (edges.empty()) return std::unexpected(exec_error("path reducers require at least one traversed edge in the path"));
  std::vector<PropertyValue> values;
  values.reserve(edges.size());
  bool any_float = false;
  const std::string key(property);
  for (const Edge& edge : edges) {
    auto it = edge.properties.find(key);
    if (it == edge.properties.end()) {
      return std::unexpected(
          exec_error(fmt::format("path reducer: property '{}' missing on edge {}", property, edge.id.to_string())));
    }
    const Kind kind = it->second.kind();
    if (kind != Kind::Int && kind != Kind::Float) {
      return std::unexpected(
          exec_error(fmt::format("path reducer: property '{}' on edge {} is not numeric", property, edge.id.to_string())));
    }
    any_float = any_float || kind == Kind::Float;
    values.push_back(it->second);
  }
  const std::string lowered = common::ascii_lowered(function).value_or(std::string());
  if (any_float || lowered == "path_avg") return fold_floats(lowered, values);
  if (lowered == "path_sum") {
    PropertyValue sum = PropertyValue::integer(0);  // Int + Int wraps around
    for (const PropertyValue& v : values) sum = *arithmetic(BinaryOperator::Add, sum, v);
    return sum;
  }
  int64_t best = values.front().as_int();
  for (const PropertyValue& v : values) best = lowered == "path_min" ? std::min(best, v.as_int()) : std::max(best, v.as_int());
  return PropertyValue::integer(best);
}

DbResult<std::optional<PropertyValue>> eval_path_aware_expr(PathEnv& env, const PathBinding& path, const Expr& expr,
                                                            const PathEvalRecord* record) {
  PathAwareRules rules{env, path, record};
  return evaluate_expr_tree<Outcome>(expr, rules);
}

DbResult<bool> eval_path_aware_condition(PathEnv& env, const PathBinding& path, const Expr& cond,
                                         const PathEvalRecord* record) {
  auto value = eval_path_aware_expr(env, path, cond, record);
  if (!value) return std::unexpected(std::move(value.error()));
  return PathAwareRules::logic_operand(BinaryOperator::And, std::move(*value));
}

DbResult<std::string> reducer_property_arg(const Expr::FunctionCall& call) {
  if (call.args.size() != 1) {
    return std::unexpected(
        exec_error(fmt::format("path reducers require exactly 1 argument (property name), got {}", call.args.size())));
  }
  const std::string* property = string_literal(call.args[0]);
  if (property == nullptr) {
    return std::unexpected(exec_error("path reducer argument must be a string literal, e.g. path_sum(\"amount\")"));
  }
  return *property;
}

DbResult<std::string> path_eval_text_arg(const Expr::FunctionCall& call) {
  if (call.args.size() != 1) {
    return std::unexpected(exec_error(fmt::format("path_eval requires exactly 1 quoted expression, got {}", call.args.size())));
  }
  const std::string* text = string_literal(call.args[0]);
  if (text == nullptr) {
    return std::unexpected(exec_error("path_eval argument must be a quoted expression, e.g. path_eval(\"sum\")"));
  }
  return *text;
}

DbResult<PropertyValue> run_path_eval(PathEnv& env, const PathBinding& path, const std::string& text,
                                      const PathEvalRecord* record) {
  auto program = env.path_eval_program(text);
  if (!program) return std::unexpected(std::move(program.error()));
  const PathEvalRecord empty;
  VmContext context;
  context.depth = static_cast<int64_t>(path.edges.size());
  return eval_vm_expr(**program, record != nullptr ? *record : empty, context);
}

}  // namespace zudizid::query::zql::executor
