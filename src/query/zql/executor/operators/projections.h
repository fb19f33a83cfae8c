// Projections: nodes or bindings into rows.
//
// Column texts, split on '.':
//   v, v.id, "v."      the id text of the node (or edge) bound to v
//   v.label            a node's label; v.type an edge's type
//   v.p                the property p (absent from the row when missing)
//   v.*                every field of v: "v.{p}" per property, "v.label"
//                      (edges "v.type") and "v.id", under those names
//   *                  (bindings) every field of source, target and edge
// Other columns contribute nothing. Explicit columns are stored under the
// column text as written.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "query/zql/executor/operators/operator.h"

namespace zudizid::query::zql::executor::operators {

class NodeColumnProjection final : public RowOperator {
 public:
  NodeColumnProjection(std::string variable, std::vector<std::string> columns, NodeStream input)
      : variable_(std::move(variable)), columns_(std::move(columns)), input_(std::move(input)) {}
  std::optional<DbResult<Row>> next() override;

 private:
  std::string variable_;
  std::vector<std::string> columns_;
  NodeStream input_;
};

// Every field of each node: "v.{p}", "v.label", "v.id".
class NodeExpandProjection final : public RowOperator {
 public:
  NodeExpandProjection(std::string variable, NodeStream input) : variable_(std::move(variable)), input_(std::move(input)) {}
  std::optional<DbResult<Row>> next() override;

 private:
  std::string variable_;
  NodeStream input_;
};

class BindingProjection final : public RowOperator {
 public:
  BindingProjection(std::string source_var, std::string target_var, std::vector<std::string> columns,
                    std::optional<std::string> edge_var, BindingStream input)
      : source_var_(std::move(source_var)),
        target_var_(std::move(target_var)),
        columns_(std::move(columns)),
        edge_var_(std::move(edge_var)),
        input_(std::move(input)) {}
  std::optional<DbResult<Row>> next() override;

 private:
  std::string source_var_;
  std::string target_var_;
  std::vector<std::string> columns_;
  std::optional<std::string> edge_var_;
  BindingStream input_;
};
using RelationshipProjectOperator = BindingProjection;

// Row builders behind the projections (for executors that build rows from
// nodes or bindings they already hold).
void expand_node(Row& row, std::string_view variable, const Node& node);
void expand_edge(Row& row, std::string_view variable, const Edge& edge);
Row node_row(const Node& node, std::string_view variable, const std::vector<std::string>& columns);
Row binding_row(const Binding& binding, std::string_view source_var, std::string_view target_var,
                const std::optional<std::string>& edge_var, const std::vector<std::string>& columns);

}  // namespace zudizid::query::zql::executor::operators
