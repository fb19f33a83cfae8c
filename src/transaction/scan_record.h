// Set-valued reads of a transaction, kept so that a Serializable commit can
// repeat each read against the committed state and detect phantoms.
//
// Two records are equal when kind, every key field (values by PropertyValue
// equality) and the recorded set are equal.
#pragma once

#include <array>
#include <string>
#include <unordered_set>
#include <utility>
#include <variant>

#include "transaction/types.h"

namespace zudizid::transaction {

struct NodePairHash {
  std::size_t operator()(const std::pair<NodeId, NodeId>& p) const noexcept {
    std::hash<NodeId> h;
    return h(p.first) * 31 + h(p.second);
  }
};
struct NodeTripleHash {
  std::size_t operator()(const std::array<NodeId, 3>& t) const noexcept {
    std::hash<NodeId> h;
    return (h(t[0]) * 31 + h(t[1])) * 31 + h(t[2]);
  }
};

using NodeIdSet = std::unordered_set<NodeId>;
using NodePairSet = std::unordered_set<std::pair<NodeId, NodeId>, NodePairHash>;
using NodeTripleSet = std::unordered_set<std::array<NodeId, 3>, NodeTripleHash>;

struct GlobalScan {
  NodeIdSet ids;
  friend bool operator==(const GlobalScan&, const GlobalScan&) = default;
};
struct LabelScan {
  std::string label;
  NodeIdSet ids;
  friend bool operator==(const LabelScan&, const LabelScan&) = default;
};
struct PropertyScan {
  std::string property;
  PropertyValue value;
  NodeIdSet ids;
  friend bool operator==(const PropertyScan&, const PropertyScan&) = default;
};
struct PredicateScan {
  std::string label;
  std::string property;
  PropertyValue value;
  NodeIdSet ids;
  friend bool operator==(const PredicateScan&, const PredicateScan&) = default;
};
struct PatternScan {
  std::string source_label;
  std::string edge_type;
  std::string target_label;
  NodePairSet pairs;  // (source, target)
  friend bool operator==(const PatternScan&, const PatternScan&) = default;
};
struct TwoHopScan {
  std::string first_label;
  std::string first_edge_type;
  std::string middle_label;
  std::string second_edge_type;
  std::string last_label;
  NodeTripleSet triples;  // (first, middle, last)
  friend bool operator==(const TwoHopScan&, const TwoHopScan&) = default;
};

using ScanRecord = std::variant<GlobalScan, LabelScan, PropertyScan, PredicateScan, PatternScan, TwoHopScan>;

}  // namespace zudizid::transaction
