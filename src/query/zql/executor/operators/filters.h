// Filters: pull from the input, pass the items that hold, drop the others.
// End of stream and input errors pass through unchanged.
#pragma once

#include <memory>
#include <string>
#include <unordered_set>

#include "graph/graph.h"
#include "query/zql/executor/operators/operator.h"
#include "query/zql/parser/ast.h"

namespace zudizid::query::zql::executor::operators {

// Every (name, value) of the map is among the node's properties and equal
// (PropertyValue equality). An empty map passes every node.
class NodePropertyFilter final : public NodeOperator {
 public:
  NodePropertyFilter(NodeStream input, ast::PropertyMap properties)
      : input_(std::move(input)), properties_(std::move(properties)) {}
  std::optional<DbResult<Node>> next() override;

 private:
  NodeStream input_;
  ast::PropertyMap properties_;
};

// The node's id is in the set (an empty set passes nothing).
class NodeIdSetFilter final : public NodeOperator {
 public:
  NodeIdSetFilter(NodeStream input, std::unordered_set<Uuid> ids) : input_(std::move(input)), ids_(std::move(ids)) {}
  std::optional<DbResult<Node>> next() override;

 private:
  NodeStream input_;
  std::unordered_set<Uuid> ids_;
};

// WHERE over a node bound to `variable` (eval_node_condition, or
// eval_write_condition on the write road). An evaluation error is yielded
// as one item (its node dropped); the next call goes on with the next node.
class NodeConditionFilter final : public NodeOperator {
 public:
  NodeConditionFilter(NodeStream input, std::shared_ptr<const ast::Expr> condition, std::string variable,
                      graph::Graph graph, bool write_road = false)
      : input_(std::move(input)),
        condition_(std::move(condition)),
        variable_(std::move(variable)),
        graph_(std::move(graph)),
        write_road_(write_road) {}
  std::optional<DbResult<Node>> next() override;

 private:
  NodeStream input_;
  std::shared_ptr<const ast::Expr> condition_;
  std::string variable_;
  graph::Graph graph_;
  bool write_road_;
};
using WhereFilter = NodeConditionFilter;

// WHERE over relationship bindings (eval_binding_condition); errors as
// NodeConditionFilter.
class WhereFilterStream final : public BindingOperator {
 public:
  WhereFilterStream(BindingStream input, std::shared_ptr<const ast::Expr> condition, std::string source_var,
                    std::string target_var)
      : input_(std::move(input)),
        condition_(std::move(condition)),
        source_var_(std::move(source_var)),
        target_var_(std::move(target_var)) {}
  std::optional<DbResult<Binding>> next() override;

 private:
  BindingStream input_;
  std::shared_ptr<const ast::Expr> condition_;
  std::string source_var_;
  std::string target_var_;
};

// Whether `properties` holds every entry of `required` with an equal value.
bool has_properties(const PropertyMap& properties, const ast::PropertyMap& required);

}  // namespace zudizid::query::zql::executor::operators
