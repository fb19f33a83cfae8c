// AlgorithmCache: the per-query results of the graph-algorithm functions,
// one optional map per function, and the reads the executor makes of it.
//
// Function names: pagerank, degree, clustering, betweenness (floats),
// community, community_fast, leiden (community numbers). A slot is absent
// when the query does not name its function; a named function over no nodes
// leaves an empty map. `community_fast` has a slot of its own, so a query
// naming both community functions gets each one's numbers.
//
// The cache belongs to the query that computed it (precompute_algorithms)
// and is read-only afterwards.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "algorithms/id_index.h"
#include "query/zql/parser/ast_expr.h"
#include "storage/db_error.h"
#include "storage/node.h"
#include "storage/property_value.h"

namespace zudizid::query::zql::executor::aggregations {

enum class Algorithm : uint8_t { PageRank, Degree, Clustering, Betweenness, Community, CommunityFast, Leiden };
inline constexpr size_t kAlgorithmCount = 7;

// The function a call names, its name lower-cased (full Unicode lower-casing:
// only ASCII letters and the Kelvin sign can lower-case into these names).
std::optional<Algorithm> algorithm_named(std::string_view name);
// Whether a call of `name` is an algorithm function: one of the seven above
// or shortestPath, lower-cased as above.
bool is_algorithm_name(std::string_view name);
// Whether `expr` is a call of an algorithm function.
bool is_algorithm_function(const ast::Expr& expr);
// The lower-case name, e.g. "community_fast".
std::string_view algorithm_name(Algorithm a);

struct AlgorithmCache {
  std::optional<algorithms::NodeMap<double>> pagerank;
  std::optional<algorithms::NodeMap<double>> betweenness;
  std::optional<algorithms::NodeMap<double>> clustering;
  std::optional<algorithms::NodeMap<double>> degree;
  std::optional<algorithms::NodeMap<uint64_t>> community;
  std::optional<algorithms::NodeMap<uint64_t>> community_fast;
  std::optional<algorithms::NodeMap<uint64_t>> leiden;

  bool has(Algorithm a) const;
};

// A node's value of the function `name` (matched lower-cased): Float for the
// four centralities, Int for the community numbers; Null when the name is no
// algorithm, its slot is absent or the node has no entry.
PropertyValue algorithm_value_for_node(std::string_view name, const Uuid& node, const AlgorithmCache& cache);

// The mean of the function `name` (exactly as written, so lower case) over
// `nodes`, as a Float: a node without entry adds nothing but counts in the
// divisor, and no nodes give 0.0. An absent slot is DbError::QueryExecution
// with "<name> algorithm not precomputed" ("community algorithm not
// precomputed" for community_fast; leiden's text carries a hint). A name
// that is no algorithm gives nullopt: not this function's to evaluate.
std::optional<DbResult<PropertyValue>> evaluate_algorithm_mean(std::string_view name, std::span<const Node> nodes,
                                                               const AlgorithmCache& cache);

}  // namespace zudizid::query::zql::executor::aggregations
