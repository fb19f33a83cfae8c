// The one start-node selection of FIND, relationship patterns and the write
// statements. For a node pattern (variable v, optional label, inline map)
// and the WHERE condition:
//
//   1. a top-level AND conjunct v.id = '<uuid>' (either side) reads that one
//      node;
//   2. else an equality on a property covered by a hash or B-tree index of
//      the pattern's label, from the inline map first, then from the
//      top-level AND conjuncts v.p = literal, seeds from that index;
//   3. else the label scan (NodeScanOperator; every node without a label),
//      decoding only `properties` of each record when they are given.
//
// Seeds are read in ascending id order, the order of the scan, and the label
// and inline map are always tested on the stream. WHERE itself is the
// caller's to apply: no seed choice changes an answer or its order.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "graph/graph.h"
#include "query/zql/executor/operators/operator.h"
#include "query/zql/parser/ast.h"

namespace zudizid::query::zql::executor::operators {

enum class StartSeed { NodeId, Index, LabelScan };

struct StartNodes {
  NodeStream nodes;
  StartSeed seed;
};

DbResult<StartNodes> select_start_nodes(const graph::Graph& graph, const ast::NodePattern& pattern,
                                        std::string_view variable, const ast::Expr* where,
                                        const std::optional<std::vector<std::string>>& properties = std::nullopt);

}  // namespace zudizid::query::zql::executor::operators
