// Pull operators: the building blocks of FIND, pattern and write pipelines.
//
//   NodeStream scan = std::make_unique<NodeScanOperator>(graph, "Person");
//   NodeStream people = std::make_unique<NodePropertyFilter>(std::move(scan), props);
//   while (auto item = people->next()) {
//     if (!*item) return std::unexpected(item->error());
//     use(**item);
//   }
//
// Rules:
// - next() yields one item, an error, or nothing at the end of the stream.
//   Once it has yielded nothing it keeps yielding nothing.
// - An error is one item: where an operator says so (NodeConditionFilter,
//   TraverseStream) the next call goes on past it; the executors stop at the
//   first error they see.
// - Every operator owns its input and keeps all of its state in itself; one
//   thread drives it at a time.
#pragma once

#include <memory>
#include <optional>

#include "storage/db_error.h"
#include "storage/node.h"
#include "query/zql/executor/statement_result.h"

namespace zudizid::query::zql::executor::operators {

template <class T>
class Operator {
 public:
  virtual ~Operator() = default;
  virtual std::optional<DbResult<T>> next() = 0;
};

// One hop of a relationship pattern: the node it starts from, the node at
// the edge's other end and the edge (always present in traversals; absent,
// consumers produce no edge values and touch no edge).
struct Binding {
  Node source;
  Node target;
  std::optional<Edge> edge;
};
using RelationshipBinding = Binding;

using NodeOperator = Operator<Node>;
using BindingOperator = Operator<Binding>;
using RowOperator = Operator<Row>;
using NodeStream = std::unique_ptr<NodeOperator>;
using BindingStream = std::unique_ptr<BindingOperator>;
using RowStream = std::unique_ptr<RowOperator>;

// A node stream over nodes already in hand, in their order.
class NodeListOperator final : public NodeOperator {
 public:
  explicit NodeListOperator(std::vector<Node> nodes) : nodes_(std::move(nodes)) {}
  std::optional<DbResult<Node>> next() override {
    if (i_ == nodes_.size()) return std::nullopt;
    return DbResult<Node>(std::move(nodes_[i_++]));
  }

 private:
  std::vector<Node> nodes_;
  size_t i_ = 0;
};

// Drains a stream; the first error is the result.
template <class T>
DbResult<std::vector<T>> drain(Operator<T>& op) {
  std::vector<T> out;
  while (auto item = op.next()) {
    if (!*item) return std::unexpected(std::move(item->error()));
    out.push_back(std::move(**item));
  }
  return out;
}

}  // namespace zudizid::query::zql::executor::operators
