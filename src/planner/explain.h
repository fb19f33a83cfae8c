// The planner behind EXPLAIN and PROFILE: a boxed cost report for the first
// node pattern of a FIND query. A report only; nothing is executed.
//
//   ┌─────────────────────────────────────────┐
//   │ Query Execution Plan                    │
//   ├─────────────────────────────────────────┤
//   → INDEX SEEK: Person_name | rows=~2 | cost=10.20
//   ├─────────────────────────────────────────┤
//   │ Total Cost: 10.20                        │   (fixed runs of spaces:
//   │ Estimated Rows: ~2                     │    the right border is
//   │ Estimated Time: 0.01ms                 │    ragged)
//   └─────────────────────────────────────────┘
//
// Cost model: a label scan costs one unit per node of the label (all nodes
// when the label is absent from the statistics, or the pattern has none);
// an index seek 10.0 plus 0.1 per estimated row, with rows = label rows /
// distinct estimate (1 when the estimate is 0). The seek is chosen only
// when strictly cheaper, and is considered only where the FIND executor
// would use an index: an equality between a property of the node variable
// and a literal, as an entry of the pattern's property map or as the WHERE
// clause or one of its top-level AND conjuncts, with an index named
// "{label}_{property}". Time = cost / 1000 ms. Notes about expensive graph
// functions (community, community_fast, leiden) follow the box.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

#include "query/zql/parser/ast.h"
#include "storage/db_error.h"

namespace zudizid::graph {
class Graph;
struct GraphStats;
}  // namespace zudizid::graph

namespace zudizid::planner {

struct PlanNode;

struct LabelScan {
  std::string label;
  uint64_t rows = 0;
  double cost = 0;
};
struct IndexSeek {
  std::string index_name;
  std::string label;
  std::string property;
  uint64_t rows = 0;
  double cost = 0;
};
struct Filter {
  std::unique_ptr<PlanNode> input;
  std::string condition;
  double selectivity = 0;
  uint64_t rows = 0;
  double cost = 0;
};
struct Expand {
  std::unique_ptr<PlanNode> input;
  std::string what;
  std::string detail;
  uint64_t rows = 0;
  double cost = 0;
};

struct PlanNode {
  std::variant<LabelScan, IndexSeek, Filter, Expand> node;
  uint64_t rows() const;
  double cost() const;
};

// The label shown for a pattern without a label.
inline constexpr std::string_view kAllNodesLabel = "(all nodes)";

// The EXPLAIN text of `statement` ("EXPLAIN for {debug text} (not yet
// implemented)" for a statement that is not a query). Errors
// (DbError::Message): "No patterns in FROM", "Empty pattern", "Pattern must
// start with node"; statistics failures unchanged.
DbResult<std::string> explain_plan(const query::zql::ast::Statement& statement, graph::Graph& graph);

std::string render_plan_node(const PlanNode& node, size_t depth);

// (rows, cost) of scanning `label` (the total when the label is unknown).
std::pair<uint64_t, double> label_scan_estimate(const graph::GraphStats& stats, std::string_view label);

}  // namespace zudizid::planner
