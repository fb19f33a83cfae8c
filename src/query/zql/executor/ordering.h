// ORDER BY over result rows, and the names FIND derives from its
// projections.
//
// Each *_next step takes the projections not yet used (advancing `rest`
// past the ones it reads) and gives the next derived item, or none when the
// projections are used up. Names by projection:
//
//   projection               query columns  pattern columns  source columns
//   *                        "*"            "*"              -
//   v.* / all(v)             "v.*"          "v.*"            "v.*"
//   with an alias            the alias      the alias        (as without)
//   algorithm call f(v, ..)  -              "f(v)" lower f   -
//   other calls              -              -                -
//   v.p                      "v.p"          "v.p"            "v.p"
//   bare v                   "v"            "v"              "v"
#pragma once

#include <optional>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "query/zql/executor/statement_result.h"
#include "query/zql/parser/ast.h"

namespace zudizid::query::zql::executor {

// Whether row a sorts strictly before row b. Items whose expression is no
// property reference take no part; a key is "v.p" (or "v"); an absent key
// sorts after every value (Null included) ascending, first descending.
// Use with a stable sort.
bool compare_rows_for_order(std::span<const ast::OrderByItem> items, const Row& a, const Row& b);

using Projections = std::span<const ast::Projection>;

std::optional<std::string> query_column_names_next(Projections& rest);
std::optional<std::string> projection_column_names_next(Projections& rest);
std::optional<std::string> projection_source_columns_next(Projections& rest);

struct AlgorithmProjection {
  std::string column;    // the alias, else "f(v)" with f lower-cased
  std::string function;  // as written
  std::string variable;
};
std::optional<AlgorithmProjection> algorithm_projections_next(Projections& rest);

// Every item of a step, in order.
template <class Step>
auto collect_names(Projections projections, Step step) {
  std::vector<typename decltype(step(projections))::value_type> out;
  while (auto item = step(projections)) out.push_back(std::move(*item));
  return out;
}

}  // namespace zudizid::query::zql::executor
