// The path expression machine: evaluates the programs of a path query
// (INIT and GATHER assignments, the RETURN expression, path_eval texts)
// against one path's record and what the caller lets the expression see.
//
// The machine writes nothing: storing an assignment and choosing the
// context belong to the callers. Every failure is DbError::QueryExecution;
// the first one ends the evaluation. A node is examined only when the
// evaluation reaches it: `false and x` never looks at x.
//
// Integer Add, Sub, Mul and Neg wrap around in two's complement; Int / Int
// is a Float; Int % -1 is 0 (the one remainder that would overflow).
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "query/zql/executor/paths/path_binding.h"
#include "query/zql/parser/ast_expr.h"
#include "storage/db_error.h"

namespace zudizid::query::zql::executor {

// What one evaluation may see of its path (all borrowed):
//   INIT      depth only
//   GATHER i  source = node i, target = node i + 1, edge = edge i, depth
//   RETURN    depth and the path's nodes
//   path_eval depth only
struct VmContext {
  const Node* source = nullptr;
  const Node* target = nullptr;
  const Edge* edge = nullptr;
  int64_t depth = 0;
  const std::vector<Node>* nodes = nullptr;
};

DbResult<PropertyValue> eval_vm_expr(const ast::Expr& expr, const PathEvalRecord& record, const VmContext& context);
DbResult<PropertyValue> eval_vm_unary(ast::UnaryOperator op, const PropertyValue& operand);
// And and Or are refused here: eval_vm_expr short-circuits them.
DbResult<PropertyValue> eval_vm_binary(ast::BinaryOperator op, const PropertyValue& left, const PropertyValue& right);
// `property` empty: the bare name, a state variable.
DbResult<PropertyValue> resolve_vm_property(std::string_view variable, std::string_view property,
                                            const PathEvalRecord& record, const VmContext& context);

}  // namespace zudizid::query::zql::executor
