#include "query/zql/executor/operators/start_nodes.h"

#include <algorithm>

#include "index/index_query.h"
#include "query/zql/executor/operators/filters.h"
#include "query/zql/executor/operators/node_scan.h"
#include "query/zql/executor/where/condition.h"

namespace zudizid::query::zql::executor::operators {

namespace {

using ast::Expr;

// Reads the nodes of sorted ids one at a time; ids without a node (or of
// another label) are passed over.
class SeededNodes final : public NodeOperator {
 public:
  SeededNodes(graph::Graph graph, std::vector<Uuid> ids, std::optional<std::string> label)
      : graph_(std::move(graph)), ids_(std::move(ids)), label_(std::move(label)) {}
  std::optional<DbResult<Node>> next() override {
    while (i_ < ids_.size()) {
      auto node = graph_.node(ids_[i_++]);
      if (!node) {
        if (node.error().kind() == DbError::Kind::NodeNotFound) continue;
        return node;
      }
      if (label_ && node->label != *label_) continue;
      return node;
    }
    return std::nullopt;
  }

 private:
  graph::Graph graph_;
  std::vector<Uuid> ids_;
  std::optional<std::string> label_;
  size_t i_ = 0;
};

struct Equality {
  std::string property;
  const PropertyValue* value;
};

// v.p = literal or literal = v.p.
std::optional<Equality> equality_on(const Expr& e, std::string_view variable) {
  const auto* b = e.get_if<Expr::BinaryOp>();
  if (!b || b->op != ast::BinaryOperator::Eq) return std::nullopt;
  const Expr* sides[2] = {b->left.get(), b->right.get()};
  for (int i = 0; i < 2; ++i) {
    const auto* p = sides[i]->get_if<Expr::Property>();
    const auto* lit = sides[1 - i]->get_if<Expr::Literal>();
    if (p && lit && p->variable == variable && !p->property.empty()) return Equality{p->property, &lit->value};
  }
  return std::nullopt;
}

// The name of a hash or B-tree index on (label, property).
std::optional<std::string> value_index(const graph::Graph& graph, const std::string& label, const std::string& property) {
  const index::IndexManager* indexes = graph.index_manager();
  if (!indexes) return std::nullopt;
  auto name = indexes->find_by_label_property(label, property);
  if (!name) return std::nullopt;
  for (const auto& meta : indexes->list()) {
    if (meta.name == *name)
      return meta.index_type == index::IndexType::Hash || meta.index_type == index::IndexType::BTree ? name : std::nullopt;
  }
  return std::nullopt;
}

NodeStream with_inline_map(NodeStream nodes, const ast::NodePattern& pattern) {
  if (pattern.properties.empty()) return nodes;
  return std::make_unique<NodePropertyFilter>(std::move(nodes), pattern.properties);
}

}  // namespace

DbResult<StartNodes> select_start_nodes(const graph::Graph& graph, const ast::NodePattern& pattern,
                                        std::string_view variable, const ast::Expr* where,
                                        const std::optional<std::vector<std::string>>& properties) {
  std::vector<Equality> equalities;
  for (const auto& [name, value] : pattern.properties) equalities.push_back({name, &value});
  if (where) {
    for (const Expr* conjunct : and_conjuncts(*where)) {
      auto eq = equality_on(*conjunct, variable);
      if (!eq) continue;
      if (eq->property == "id") {
        std::vector<Uuid> ids;
        if (eq->value->kind() == PropertyValue::Kind::String) {
          if (auto id = Uuid::parse(eq->value->as_string())) ids.push_back(*id);
        }
        NodeStream one = std::make_unique<SeededNodes>(graph, std::move(ids), pattern.label);
        return StartNodes{with_inline_map(std::move(one), pattern), StartSeed::NodeId};
      }
      equalities.push_back(*eq);
    }
  }
  if (pattern.label) {
    for (const Equality& eq : equalities) {
      auto name = value_index(graph, *pattern.label, eq.property);
      if (!name) continue;
      auto ids = graph.index_manager()->get(*name, index::IndexQuery{index::IndexQuery::Equals{*eq.value}});
      if (!ids) return std::unexpected(std::move(ids.error()));
      std::sort(ids->begin(), ids->end());
      ids->erase(std::unique(ids->begin(), ids->end()), ids->end());
      NodeStream seeded = std::make_unique<SeededNodes>(graph, std::move(*ids), pattern.label);
      return StartNodes{with_inline_map(std::move(seeded), pattern), StartSeed::Index};
    }
  }
  NodeStream scan = std::make_unique<NodeScanOperator>(graph, pattern.label, NodeScanOperator::kBatchSize, properties);
  return StartNodes{with_inline_map(std::move(scan), pattern), StartSeed::LabelScan};
}

}  // namespace zudizid::query::zql::executor::operators
