// What a path query works on: one matched path (PathBinding), the record its
// path program fills (PathEvalRecord), and the values that stand for a node
// or an edge inside expressions.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "storage/node.h"
#include "storage/property_value.h"

namespace zudizid::query::zql::executor {

// One matched linear path. Edge i joins nodes[i] and nodes[i + 1]. The
// variables point into `nodes` and `edges` by position; binding a name that
// is already bound replaces it (a repeated variable is rebound, never
// compared).
struct PathBinding {
  std::vector<Node> nodes;
  std::vector<Edge> edges;
  std::vector<std::pair<std::string, size_t>> node_vars;
  std::vector<std::pair<std::string, size_t>> edge_vars;

  const Node* node_var(std::string_view name) const;
  const Edge* edge_var(std::string_view name) const;
  void bind_node(std::string name, size_t position);
  void bind_edge(std::string name, size_t position);
};

// The variables INIT and GATHER assign, in the order of first assignment
// (a later assignment replaces the value in place), so path.state lists
// them the same way on every run.
class VmState {
 public:
  const PropertyValue* find(std::string_view name) const;
  void assign(std::string name, PropertyValue value);
  bool empty() const { return vars_.empty(); }
  const std::vector<std::pair<std::string, PropertyValue>>& entries() const { return vars_; }
  // An Object with one (name, value) pair per variable.
  PropertyValue to_object() const;

 private:
  std::vector<std::pair<std::string, PropertyValue>> vars_;
};

struct PathEvalRecord {
  std::optional<PropertyValue> result;  // set by RETURN
  VmState state;
};

// Object ("id", uuid text), ("label", label).
PropertyValue node_ref_value(const Node& node);
// Object ("id"), ("type"), ("source"), ("target"), all Strings.
PropertyValue edge_ref_value(const Edge& edge);

}  // namespace zudizid::query::zql::executor
