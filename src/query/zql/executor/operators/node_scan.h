// NodeScanOperator: every current node record ("node:{id}", in id order),
// optionally only those of one label, read 512 accepted records per storage
// batch and resumed after the last key read. A failed batch leaves the scan
// where it was, so the next call reads the same batch again. With
// `properties`, each node carries only those of its properties (the query's
// needs; storage/node_fields.h).
#pragma once

#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "graph/graph.h"
#include "query/zql/executor/operators/operator.h"

namespace zudizid::query::zql::executor::operators {

class NodeScanOperator final : public NodeOperator {
 public:
  static constexpr size_t kBatchSize = 512;

  NodeScanOperator(graph::Graph graph, std::optional<std::string> label, size_t batch_size = kBatchSize,
                   std::optional<std::vector<std::string>> properties = std::nullopt)
      : graph_(std::move(graph)), label_(std::move(label)), batch_size_(batch_size),
        properties_(std::move(properties)) {}

  std::optional<DbResult<Node>> next() override;

  // For tests: the key the next batch starts after, and whether the records ran out.
  const std::optional<std::string>& resume_key() const { return resume_key_; }
  bool exhausted() const { return exhausted_; }

 private:
  graph::Graph graph_;
  std::optional<std::string> label_;
  size_t batch_size_;
  std::optional<std::vector<std::string>> properties_;
  std::deque<Node> buffer_;
  std::optional<std::string> resume_key_;
  bool exhausted_ = false;
};

}  // namespace zudizid::query::zql::executor::operators
