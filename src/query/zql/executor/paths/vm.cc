#include "query/zql/executor/paths/vm.h"

#include <cmath>
#include <fmt/format.h>

#include "query/zql/executor/arithmetic.h"
#include "query/zql/executor/paths/expr_tree_eval.h"

namespace zudizid::query::zql::executor {

namespace {

using ast::BinaryOperator;
using ast::Expr;
using ast::UnaryOperator;
using Kind = PropertyValue::Kind;

DbError vm_error(std::string text) { return DbError::query_execution(std::move(text)); }

bool is_number(const PropertyValue& v) { return v.kind() == Kind::Int || v.kind() == Kind::Float; }
double as_double(const PropertyValue& v) {
  return v.kind() == Kind::Int ? static_cast<double>(v.as_int()) : v.as_float();
}

template <class T>
bool ordered(BinaryOperator op, const T& a, const T& b) {
  switch (op) {
    case BinaryOperator::Lt: return a < b;
    case BinaryOperator::Gt: return b < a;
    case BinaryOperator::LtEq: return a <= b;
    default: return a >= b;
  }
}

DbResult<PropertyValue> compare(BinaryOperator op, const PropertyValue& l, const PropertyValue& r) {
  if (l.kind() == Kind::Bool && r.kind() == Kind::Bool) return PropertyValue::boolean(ordered(op, l.as_bool(), r.as_bool()));
  if (l.kind() == Kind::Int && r.kind() == Kind::Int) return PropertyValue::boolean(ordered(op, l.as_int(), r.as_int()));
  // IEEE comparisons: every one involving NaN is false.
  if (is_number(l) && is_number(r)) return PropertyValue::boolean(ordered(op, as_double(l), as_double(r)));
  if (l.kind() == Kind::String && r.kind() == Kind::String) {
    return PropertyValue::boolean(ordered(op, std::string_view(l.as_string()), std::string_view(r.as_string())));
  }
  return std::unexpected(vm_error(fmt::format("VM comparison '{}' is not supported for values {} and {}",
                                              ast::debug_name(op), l.debug_string(), r.debug_string())));
}

// The shared arithmetic, its faults in the machine's words.
DbResult<PropertyValue> vm_arithmetic(BinaryOperator op, const PropertyValue& l, const PropertyValue& r) {
  auto value = arithmetic(op, l, r);
  if (value) return std::move(*value);
  switch (value.error()) {
    case ArithmeticFault::DivisionByZero: return std::unexpected(vm_error("VM division by zero"));
    case ArithmeticFault::ModuloByZero: return std::unexpected(vm_error("VM modulo by zero"));
    default:
      return std::unexpected(vm_error(fmt::format("VM arithmetic operator '{}' requires numeric operands, got {} and {}",
                                                  ast::debug_name(op), l.debug_string(), r.debug_string())));
  }
}

struct VmRules {
  const PathEvalRecord& record;
  const VmContext& context;

  DbResult<PropertyValue> leaf(const Expr& expr) {
    if (const auto* lit = expr.get_if<Expr::Literal>()) return lit->value;
    if (const auto* prop = expr.get_if<Expr::Property>()) {
      return resolve_vm_property(prop->variable, prop->property, record, context);
    }
    if (expr.kind() == Expr::Kind::FunctionCall) {
      return std::unexpected(vm_error("Function calls are not supported inside quoted VM expressions in Path Queries F4-B"));
    }
    return std::unexpected(vm_error("Wildcard is not supported inside quoted VM expressions in Path Queries F4-B"));
  }
  DbResult<bool> logic_operand(BinaryOperator op, PropertyValue&& v) {
    if (v.kind() != Kind::Bool) {
      return std::unexpected(vm_error(op == BinaryOperator::And ? "VM operator 'and' requires Bool operands"
                                                                : "VM operator 'or' requires Bool operands"));
    }
    return v.as_bool();
  }
  DbResult<PropertyValue> binary(BinaryOperator op, PropertyValue&& l, PropertyValue&& r) {
    return eval_vm_binary(op, l, r);
  }
  DbResult<PropertyValue> unary(UnaryOperator op, PropertyValue&& v) { return eval_vm_unary(op, v); }
  static PropertyValue from_bool(bool b) { return PropertyValue::boolean(b); }
};

DbResult<PropertyValue> node_property(std::string_view which, const Node* node, std::string_view property) {
  if (node == nullptr) {
    return std::unexpected(
        vm_error(fmt::format("VM context '{}' is only available while executing GATHER clauses", which)));
  }
  if (property == "id") return PropertyValue::string(node->id.to_string());
  if (property == "label") return PropertyValue::string(node->label);
  auto it = node->properties.find(std::string(property));
  if (it == node->properties.end()) {
    return std::unexpected(
        vm_error(fmt::format("VM property '{}.{}' is missing on node {}", which, property, node->id.to_string())));
  }
  return it->second;
}

DbResult<PropertyValue> path_property(std::string_view property, const PathEvalRecord& record,
                                      const VmContext& context) {
  if (property == "start" || property == "end") {
    if (context.nodes == nullptr) {
      return std::unexpected(vm_error(fmt::format(
          "path.{} is not available inside INIT or GATHER expressions; use it in RETURN or FIND", property)));
    }
    if (context.nodes->empty()) return std::unexpected(vm_error(fmt::format("path.{}: path has no nodes", property)));
    return node_ref_value(property == "start" ? context.nodes->front() : context.nodes->back());
  }
  if (property == "depth") return PropertyValue::integer(context.depth);
  if (property == "state") return record.state.to_object();
  if (property == "result") {
    return std::unexpected(vm_error("path.result cannot be used inside a RETURN expression in Path Queries F4-C"));
  }
  return std::unexpected(
      vm_error(fmt::format("VM path property 'path.{}' is not supported in Path Queries F4-B", property)));
}

}  // namespace

DbResult<PropertyValue> eval_vm_expr(const Expr& expr, const PathEvalRecord& record, const VmContext& context) {
  VmRules rules{record, context};
  return evaluate_expr_tree<PropertyValue>(expr, rules);
}

DbResult<PropertyValue> eval_vm_unary(UnaryOperator op, const PropertyValue& v) {
  if (op == UnaryOperator::Neg) {
    if (auto negated = negate(v)) return std::move(*negated);
    return std::unexpected(
        vm_error(fmt::format("VM unary '-' requires numeric operand, got {}", v.debug_string())));
  }
  if (v.kind() == Kind::Bool) return PropertyValue::boolean(!v.as_bool());
  return std::unexpected(vm_error(fmt::format("VM operator 'not' requires Bool, got {}", v.debug_string())));
}

DbResult<PropertyValue> eval_vm_binary(BinaryOperator op, const PropertyValue& l, const PropertyValue& r) {
  switch (op) {
    case BinaryOperator::Eq: return PropertyValue::boolean(l == r);
    case BinaryOperator::NotEq: return PropertyValue::boolean(!(l == r));
    case BinaryOperator::Lt:
    case BinaryOperator::Gt:
    case BinaryOperator::LtEq:
    case BinaryOperator::GtEq: return compare(op, l, r);
    case BinaryOperator::And:
    case BinaryOperator::Or:
      return std::unexpected(vm_error("VM logical operators are handled before binary evaluation"));
    default: return vm_arithmetic(op, l, r);
  }
}

DbResult<PropertyValue> resolve_vm_property(std::string_view variable, std::string_view property,
                                            const PathEvalRecord& record, const VmContext& context) {
  if (property.empty()) {
    if (const PropertyValue* v = record.state.find(variable)) return *v;
    return std::unexpected(vm_error(fmt::format(
        "VM variable '{}' is not defined; initialize it with INIT or assign it earlier in GATHER", variable)));
  }
  if (variable == "path") return path_property(property, record, context);
  if (variable == "edge") {
    const Edge* edge = context.edge;
    if (edge == nullptr) {
      return std::unexpected(vm_error("VM context 'edge' is only available while executing GATHER clauses"));
    }
    if (property == "id") return PropertyValue::string(edge->id.to_string());
    if (property == "type" || property == "edge_type") return PropertyValue::string(edge->edge_type);
    auto it = edge->properties.find(std::string(property));
    if (it == edge->properties.end()) {
      return std::unexpected(
          vm_error(fmt::format("VM property 'edge.{}' is missing on edge {}", property, edge->id.to_string())));
    }
    return it->second;
  }
  if (variable == "source") return node_property("source", context.source, property);
  if (variable == "target") return node_property("target", context.target, property);
  return std::unexpected(vm_error(fmt::format("VM object '{}' is not supported in Path Queries F4-B", variable)));
}

}  // namespace zudizid::query::zql::executor
