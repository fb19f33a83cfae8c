#include "graph/upsert/upsert_types.h"

#include <fmt/format.h>

namespace zudizid::graph::upsert {

std::string_view outcome_name(UpsertOutcome outcome) {
  switch (outcome) {
    case UpsertOutcome::Created:
      return "created";
    case UpsertOutcome::Updated:
      return "updated";
    case UpsertOutcome::Unchanged:
      break;
  }
  return "unchanged";
}

bool props_equal(const PropertyMap& stored, const PropertyMap& desired) {
  if (stored.size() != desired.size()) return false;
  for (const auto& [name, value] : stored) {
    auto it = desired.find(name);
    if (it == desired.end() || !(it->second == value)) return false;
  }
  return true;
}

std::vector<std::pair<std::string, PropertyValue>> stale_entries(const PropertyMap& stored,
                                                                 const PropertyMap& desired) {
  std::vector<std::pair<std::string, PropertyValue>> out;
  for (const auto& [name, value] : stored) {
    auto it = desired.find(name);
    if (it == desired.end() || !(it->second == value)) out.emplace_back(name, value);
  }
  return out;
}

bool embedding_changed(const std::optional<std::vector<float>>& stored, std::span<const float> desired) {
  if (!stored || stored->size() != desired.size()) return true;
  for (std::size_t i = 0; i < desired.size(); ++i) {
    // `!(a == b)` is true for unequal and for unordered (NaN) pairs.
    if (!((*stored)[i] == desired[i])) return true;
  }
  return false;
}

bool link_satisfied(std::span<const Edge> outgoing, std::string_view type, const Uuid& target) {
  for (const Edge& e : outgoing) {
    if (e.edge_type == type && e.target == target) return true;
  }
  return false;
}

Node updated_node(const Node& stored, const UpsertRequest& request) {
  Node node;
  node.id = stored.id;
  node.label = request.label;
  node.properties = request.props;
  node.kind = stored.kind;
  return node;
}

namespace {

std::string debug_text(const PropertyValue& value) {
  std::string s;
  value.fmt_debug(s);
  return s;
}

}  // namespace

std::string missing_key_message(std::string_view key, std::string_view label) {
  return fmt::format("upsert: key '{}' missing from props for label '{}'", key, label);
}

std::string ambiguous_detail(std::size_t matches, std::string_view label, std::string_view key,
                             const PropertyValue& value, std::string_view verb) {
  return fmt::format("{} nodes match {}.{}={}; deduplicate before {}", matches, label, key, debug_text(value),
                     verb);
}

std::string missing_target_detail(const UpsertLink& link) {
  return fmt::format("link target {}.{}={} not found (set create_target_stub to create it)", link.target_label,
                     link.target_key, debug_text(link.target_key_value));
}

}  // namespace zudizid::graph::upsert
