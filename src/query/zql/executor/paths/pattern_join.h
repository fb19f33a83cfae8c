// FIND over several patterns: each pattern's matches (PathBinding), joined
// left to right on the variables they share.
//
//   auto joined = join_patterns(context, query);   // PathCursor
//   if (!joined) return std::unexpected(joined.error());
//   return run_path_pipeline(context, std::move(*joined), query);
//
// - A pattern of one node pattern matches every node it fits; a longer one
//   is a linear pattern (traversal.h). Start nodes come from the one
//   start-node selection over WHERE when the first node's variable is not
//   bound again in its pattern, else from a label scan.
// - Two bindings join when every node variable both bind names the same
//   node (by id) and every edge variable both bind the same edge; a name
//   that is a node in one and an edge in the other never joins. Without a
//   shared name every pair joins.
// - Order: the running list first, then the new pattern's order. The join
//   is a hash join on the shared variables' ids, the new pattern's matches
//   being the hashed side; the last step streams into the caller.
// - The joined binding lists the running binding's nodes and edges, then
//   the new pattern's; a shared name keeps its earlier position.
// - Each pattern is evaluated in full, also after the running list became
//   empty (its errors still fail the query). A pattern's matches or an
//   intermediate join holding more than kMaxHeldPathRows bindings fails with
//   QueryExecution "Pattern join holds more than 1000000 bindings; share a
//   variable between the patterns or narrow them".
#pragma once

#include <vector>

#include "query/zql/executor/paths/path_pipeline.h"
#include "query/zql/executor/query_context.h"
#include "query/zql/parser/ast.h"

namespace zudizid::query::zql::executor {

// The matches of one pattern of `query`, in traversal order.
DbResult<std::vector<PathBinding>> collect_pattern_bindings(QueryContext& context, const ast::Pattern& pattern,
                                                            const ast::Query& query);

// The start nodes of `pattern` (see above).
DbResult<graph::NodeCursor> pattern_start_nodes(const graph::Graph& graph, const ast::Pattern& pattern,
                                                const ast::Query& query);

DbResult<PathCursor> join_patterns(QueryContext& context, const ast::Query& query);

}  // namespace zudizid::query::zql::executor
