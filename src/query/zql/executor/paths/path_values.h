// Values of expressions over one matched path (PathBinding), the WHERE test
// of a path query whose condition needs nothing of the path program, and
// the scans for path.* metadata in an expression.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "query/zql/executor/paths/path_binding.h"
#include "query/zql/parser/ast_expr.h"
#include "storage/db_error.h"

namespace zudizid::query::zql::executor {

enum class PathMetadataKind : uint8_t { Depth = 0, Nodes = 1, Edges = 2, Start = 3, End = 4, State = 5, Result = 6 };
std::optional<PathMetadataKind> path_metadata_kind(std::string_view property);

// A Literal's value, or a Property over the path:
//   path.depth  Int edge count      path.nodes / path.edges  Lists of reference values
//   x, x.id     the id text of node (first) or edge variable x
//   x.label     a node's label      x.type, x.edge_type      an edge's type
//   x.p         the property, when present
// Anything else (other path.* names included): no value.
std::optional<PropertyValue> path_binding_value(const PathBinding& path, const ast::Expr& expr);
std::optional<PropertyValue> path_property_value(const PathBinding& path, std::string_view variable,
                                                 std::string_view property);

// The WHERE test of a path query whose condition is not path-aware: the
// WHERE rules of where/condition.h over the path's variables and path.depth,
// path.nodes, path.edges; no function is known there.
DbResult<bool> eval_path_condition(const PathBinding& path, const ast::Expr& cond);

// Every path.<kind> reference, in walk order, repeats included.
void check_path_metadata_refs(const ast::Expr& expr, std::vector<PathMetadataKind>& kinds);
// The property of the first path.<name> whose name is no metadata kind
// (the bare `path` gives ""), or nullopt.
std::optional<std::string> collect_path_metadata_refs(const ast::Expr& expr);

}  // namespace zudizid::query::zql::executor
