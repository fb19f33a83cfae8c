// The algorithm runner: computes, once per query, every graph-algorithm
// function the query names, before any row is evaluated.
//
// Names are collected from the projections, the WHERE condition and the
// HAVING condition (ORDER BY, GROUP BY and path clauses are not looked at),
// through binary and unary operators and into every call's arguments, in any
// letter case. A query naming none gets the all-absent cache without any
// read of the graph. Each named function runs once, one at a time:
//
//   pagerank, degree      whole graph                 blocking task
//   clustering,           the subgraph induced by     blocking task
//   betweenness           the ids of `nodes`
//   community             whole graph; reused from    blocking task
//                         the graph's community slot
//                         while nothing was written
//   community_fast        `nodes` and their           on the caller
//                         neighbours (get_neighbors)
//   leiden                run_leiden                  its own entry point
//
// A blocking-task algorithm reads its view's nodes and, only when there are
// some, its edges; with no nodes its map is empty and no task starts. A
// failed task is DbError::Message with "<name> join error: {}" (community:
// "community detect join error: {}"). The first error ends the run; the maps
// computed so far are dropped.
//
// Settings are fixed: PageRank damping 0.85, 100 iterations, tolerance 1e-6;
// degree in both directions, not normalised; betweenness normalised;
// community resolution 1.0, 100 passes, tolerance 1e-4.
#pragma once

#include <bitset>
#include <span>

#include "query/zql/executor/aggregations/algorithm_cache.h"
#include "query/zql/parser/ast.h"

namespace zudizid::graph {
class Graph;
}

namespace zudizid::query::zql::executor::aggregations {

using AlgorithmSet = std::bitset<kAlgorithmCount>;

// The algorithm functions `query` names where the runner looks.
AlgorithmSet named_algorithms(const ast::Query& query);

DbResult<AlgorithmCache> precompute_algorithms(const graph::Graph& graph, const ast::Query& query,
                                               std::span<const Node> nodes);

// `community_fast` over `nodes`: their neighbours through get_neighbors
// (both directions), then label propagation. No nodes: empty, nothing read.
// The first failed edge read is the error.
DbResult<algorithms::NodeMap<uint64_t>> compute_community_fast(const graph::Graph& graph, std::span<const Node> nodes);

}  // namespace zudizid::query::zql::executor::aggregations
