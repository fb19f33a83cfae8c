// The semantic path filters: path_{start,end,any,all}_{instanceof,subclassof}
// test a path's nodes against the graph's class hierarchy.
//
// A node passes `instanceof` C when it is an Individual whose label names a
// proper subclass of C; `subclassof` C when it is a Class whose label does.
// Without a hierarchy, or when it does not know C, every filter is false.
// Argument errors come first:
//   "{} requires exactly 1 string literal class name in Path Queries F4-D.1"
//   "{} requires a string literal class name in Path Queries F4-D.1"
// (the function name as the query wrote it).
#pragma once

#include <span>
#include <string_view>

#include "index/taxonomy.h"
#include "query/zql/executor/paths/path_binding.h"
#include "query/zql/executor/paths/path_env.h"

namespace zudizid::query::zql::executor {

DbResult<bool> eval_semantic_path_filter(PathEnv& env, const PathBinding& path, std::string_view name,
                                         std::span<const ast::Expr> args);

// The single-node test; `predicate` is matched lower-cased ("instanceof",
// "subclassof"); any other name is false.
bool eval_semantic_predicate(const Node& node, std::string_view predicate, const taxonomy::TaxonomyIndex& taxonomy,
                             const taxonomy::ClassId& class_id);

}  // namespace zudizid::query::zql::executor
