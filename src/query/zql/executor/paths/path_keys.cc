#include "query/zql/executor/paths/path_keys.h"

#include <fmt/format.h>

#include "common/ascii.h"
#include "common/float_text.h"
#include "common/utf8.h"
#include "query/zql/executor/find/find_helpers.h"
#include "query/zql/executor/paths/path_functions.h"

namespace zudizid::query::zql::executor {

namespace {

using ast::Expr;
using Kind = PropertyValue::Kind;

DbError exec_error(std::string text) { return DbError::query_execution(std::move(text)); }

const ast::ExpressionProjection* expression(const ast::Projection& p) {
  return std::get_if<ast::ExpressionProjection>(&p);
}

const std::string* string_literal(const Expr& e) {
  const auto* lit = e.get_if<Expr::Literal>();
  return lit != nullptr && lit->value.kind() == Kind::String ? &lit->value.as_string() : nullptr;
}

// all(x) with one bare variable: x.
const std::string* all_call_variable(const Expr& e) {
  const auto* call = e.get_if<Expr::FunctionCall>();
  if (call == nullptr || !common::ascii_iequals(call->name, "all") || call->args.size() != 1) return nullptr;
  const auto* p = call->args[0].get_if<Expr::Property>();
  return p != nullptr && p->property.empty() ? &p->variable : nullptr;
}

std::string reducer_column(const std::string& name, const std::string& property) {
  return fmt::format("{}(\"{}\")", common::ascii_lowered(name).value_or(name), property);
}

DbResult<std::string> canonical_literal(const std::string& function, const Expr& arg) {
  const auto* lit = arg.get_if<Expr::Literal>();
  if (lit == nullptr) {
    return std::unexpected(exec_error(
        fmt::format("{} requires literal arguments for canonical projection keys; got {}", function, arg.debug_string())));
  }
  const PropertyValue& v = lit->value;
  switch (v.kind()) {
    case Kind::Null: return std::string("null");
    case Kind::Bool: return std::string(v.as_bool() ? "true" : "false");
    case Kind::Int: return std::to_string(v.as_int());
    case Kind::Float: return common::float_display(v.as_float());
    case Kind::String: {
      std::string out = "\"";
      for (char c : v.as_string()) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
      }
      return out + "\"";
    }
    default:
      return std::unexpected(exec_error(fmt::format(
          "{} uses unsupported projection literal {} in path/pattern embedding projections", function, v.debug_string())));
  }
}

}  // namespace

DbResult<std::string> canonical_call_key(const std::string& name, std::span<const Expr> args) {
  std::string joined;
  for (const Expr& arg : args) {
    auto text = canonical_literal(name, arg);
    if (!text) return std::unexpected(std::move(text.error()));
    if (!joined.empty()) joined += ", ";
    joined += *text;
  }
  return fmt::format("{}({})", name, joined);
}

DbResult<std::vector<ReducerProjection>> path_reducer_projections(std::span<const ast::Projection> projections) {
  std::vector<ReducerProjection> out;
  for (const auto& p : projections) {
    const auto* e = expression(p);
    const auto* call = e != nullptr ? e->expr.get_if<Expr::FunctionCall>() : nullptr;
    if (call == nullptr || !is_path_reducer(call->name)) continue;
    auto property = reducer_property_arg(*call);
    if (!property) return std::unexpected(std::move(property.error()));
    out.push_back({e->alias.value_or(reducer_column(call->name, *property)), call->name, *property});
  }
  return out;
}

DbResult<std::vector<PathEvalProjection>> path_eval_projections(std::span<const ast::Projection> projections) {
  std::vector<PathEvalProjection> out;
  for (const auto& p : projections) {
    const auto* e = expression(p);
    const auto* call = e != nullptr ? e->expr.get_if<Expr::FunctionCall>() : nullptr;
    if (call == nullptr || !is_path_eval(call->name)) continue;
    auto text = path_eval_text_arg(*call);
    if (!text) return std::unexpected(std::move(text.error()));
    out.push_back({e->alias.value_or(fmt::format("path_eval(\"{}\")", *text)), *text});
  }
  return out;
}

DbResult<std::vector<EmbeddingProjection>> path_embedding_projections(std::span<const ast::Projection> projections) {
  std::vector<EmbeddingProjection> out;
  for (const auto& p : projections) {
    const auto* e = expression(p);
    const auto* call = e != nullptr ? e->expr.get_if<Expr::FunctionCall>() : nullptr;
    if (call == nullptr || !is_path_embedding_function(call->name)) continue;
    std::string column;
    if (e->alias) {
      column = *e->alias;
    } else {
      auto key = canonical_call_key(call->name, call->args);
      if (!key) return std::unexpected(std::move(key.error()));
      column = std::move(*key);
    }
    out.push_back({std::move(column), call->name, call->args});
  }
  return out;
}

std::vector<MetadataProjection> path_metadata_projections(std::span<const ast::Projection> projections) {
  std::vector<MetadataProjection> out;
  for (const auto& p : projections) {
    const auto* e = expression(p);
    const auto* prop = e != nullptr ? e->expr.get_if<Expr::Property>() : nullptr;
    if (prop == nullptr || prop->variable != "path") continue;
    if (prop->property == "start" || prop->property == "end" || prop->property == "state" || prop->property == "result") {
      out.push_back({e->alias.value_or(property_key(*prop)), prop->property});
    }
  }
  return out;
}

std::vector<std::string> path_projection_columns(std::span<const ast::Projection> projections) {
  std::vector<std::string> out;
  for (const auto& p : projections) {
    if (std::holds_alternative<ast::WildcardProjection>(p)) {
      out.emplace_back("*");
      continue;
    }
    if (const auto* all = std::get_if<ast::AllProjection>(&p)) {
      out.push_back(all->variable + ".*");
      continue;
    }
    const auto& e = std::get<ast::ExpressionProjection>(p);
    if (e.alias) {
      out.push_back(*e.alias);
    } else if (const auto* prop = e.expr.get_if<Expr::Property>()) {
      out.push_back(property_key(*prop));
    } else if (const std::string* var = all_call_variable(e.expr)) {
      out.push_back(*var + ".*");
    } else if (const auto* call = e.expr.get_if<Expr::FunctionCall>()) {
      const std::string* literal = call->args.size() == 1 ? string_literal(call->args[0]) : nullptr;
      if (is_path_reducer(call->name)) {
        if (literal != nullptr) out.push_back(reducer_column(call->name, *literal));
      } else if (is_path_eval(call->name)) {
        if (literal != nullptr) out.push_back(fmt::format("path_eval(\"{}\")", *literal));
      } else if (is_path_embedding_function(call->name)) {
        if (auto key = canonical_call_key(call->name, call->args)) out.push_back(std::move(*key));
      }
    }
  }
  return out;
}

std::vector<std::string> path_plain_keys(std::span<const ast::Projection> projections) {
  std::vector<std::string> out;
  for (const auto& p : projections) {
    if (std::holds_alternative<ast::WildcardProjection>(p)) {
      out.emplace_back("*");
    } else if (const auto* all = std::get_if<ast::AllProjection>(&p)) {
      out.push_back(all->variable + ".*");
    } else {
      const auto& e = std::get<ast::ExpressionProjection>(p);
      if (const auto* prop = e.expr.get_if<Expr::Property>()) {
        out.push_back(property_key(*prop));
      } else if (const std::string* var = all_call_variable(e.expr)) {
        out.push_back(*var + ".*");
      }
    }
  }
  return out;
}

}  // namespace zudizid::query::zql::executor
