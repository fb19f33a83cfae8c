#include "query/zql/executor/paths/path_binding.h"

namespace zudizid::query::zql::executor {

namespace {

const std::pair<std::string, size_t>* find_var(const std::vector<std::pair<std::string, size_t>>& vars,
                                               std::string_view name) {
  for (const auto& v : vars) {
    if (v.first == name) return &v;
  }
  return nullptr;
}

void bind(std::vector<std::pair<std::string, size_t>>& vars, std::string name, size_t position) {
  for (auto& v : vars) {
    if (v.first == name) {
      v.second = position;
      return;
    }
  }
  vars.emplace_back(std::move(name), position);
}

}  // namespace

const Node* PathBinding::node_var(std::string_view name) const {
  const auto* v = find_var(node_vars, name);
  return v != nullptr ? &nodes[v->second] : nullptr;
}

const Edge* PathBinding::edge_var(std::string_view name) const {
  const auto* v = find_var(edge_vars, name);
  return v != nullptr ? &edges[v->second] : nullptr;
}

void PathBinding::bind_node(std::string name, size_t position) { bind(node_vars, std::move(name), position); }
void PathBinding::bind_edge(std::string name, size_t position) { bind(edge_vars, std::move(name), position); }

const PropertyValue* VmState::find(std::string_view name) const {
  for (const auto& [n, v] : vars_) {
    if (n == name) return &v;
  }
  return nullptr;
}

void VmState::assign(std::string name, PropertyValue value) {
  for (auto& [n, v] : vars_) {
    if (n == name) {
      v = std::move(value);
      return;
    }
  }
  vars_.emplace_back(std::move(name), std::move(value));
}

PropertyValue VmState::to_object() const {
  PropertyObject object(vars_.begin(), vars_.end());
  return PropertyValue::object(std::move(object));
}

PropertyValue node_ref_value(const Node& node) {
  return PropertyValue::object(
      {{"id", PropertyValue::string(node.id.to_string())}, {"label", PropertyValue::string(node.label)}});
}

PropertyValue edge_ref_value(const Edge& edge) {
  return PropertyValue::object({{"id", PropertyValue::string(edge.id.to_string())},
                                {"type", PropertyValue::string(edge.edge_type)},
                                {"source", PropertyValue::string(edge.source.to_string())},
                                {"target", PropertyValue::string(edge.target.to_string())}});
}

}  // namespace zudizid::query::zql::executor
