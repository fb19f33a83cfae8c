#include "transaction/validation.h"

#include <mutex>
#include <shared_mutex>
#include <unordered_map>

#include "common/log.h"

namespace zudizid::transaction {

namespace {

constexpr const char* kTarget = "zudizid::transaction";

template <class... F>
struct Overloaded : F... {
  using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

NodeIdSet ids_of(const std::vector<Node>& nodes) {
  NodeIdSet ids;
  for (const Node& n : nodes) ids.insert(n.id);
  return ids;
}

// The label of a node read from the committed state, or nullopt when the
// read fails (the pattern recomputations skip such nodes).
std::optional<std::string> label_of(TransactionHost& host, const NodeId& id,
                                    std::unordered_map<NodeId, std::optional<std::string>>& cache) {
  auto it = cache.find(id);
  if (it != cache.end()) return it->second;
  auto node = host.get_node(id);
  std::optional<std::string> label;
  if (node) label = node->label;
  cache.emplace(id, label);
  return label;
}

DbResult<NodePairSet> pattern_pairs(TransactionHost& host, const PatternScan& s) {
  auto edges = host.scan_edges();
  if (!edges) return std::unexpected(std::move(edges.error()));
  std::unordered_map<NodeId, std::optional<std::string>> labels;
  NodePairSet pairs;
  for (const Edge& e : *edges) {
    if (e.edge_type != s.edge_type) continue;
    auto src = label_of(host, e.source, labels);
    if (!src || *src != s.source_label) continue;
    auto dst = label_of(host, e.target, labels);
    if (!dst || *dst != s.target_label) continue;
    pairs.emplace(e.source, e.target);
  }
  return pairs;
}

DbResult<NodeTripleSet> two_hop_triples(TransactionHost& host, const TwoHopScan& s) {
  auto edges = host.scan_edges();
  if (!edges) return std::unexpected(std::move(edges.error()));
  std::unordered_map<NodeId, std::vector<NodeId>> first, second;
  for (const Edge& e : *edges) {
    if (e.edge_type == s.first_edge_type) first[e.source].push_back(e.target);
    if (e.edge_type == s.second_edge_type) second[e.source].push_back(e.target);
  }
  std::unordered_map<NodeId, std::optional<std::string>> labels;
  NodeTripleSet triples;
  for (const auto& [a, bs] : first) {
    auto la = label_of(host, a, labels);
    if (!la || *la != s.first_label) continue;
    for (const NodeId& b : bs) {
      auto lb = label_of(host, b, labels);
      if (!lb || *lb != s.middle_label) continue;
      auto cs = second.find(b);
      if (cs == second.end()) continue;
      for (const NodeId& c : cs->second) {
        auto lc = label_of(host, c, labels);
        if (lc && *lc == s.last_label) triples.insert({a, b, c});
      }
    }
  }
  return triples;
}

std::string phantom_text(const ScanRecord& record) {
  return std::visit(
      Overloaded{
          [](const GlobalScan&) {
            return std::string("Phantom conflict on global scan: node set changed during transaction");
          },
          [](const LabelScan& s) {
            return fmt::format("Phantom conflict on label '{}': result set changed during transaction", s.label);
          },
          [](const PropertyScan& s) {
            return fmt::format("Phantom conflict on property '{}': result set changed during transaction",
                               s.property);
          },
          [](const PredicateScan& s) {
            return fmt::format("Phantom conflict on predicate {}.{} = {}: result set changed during transaction",
                               s.label, s.property, s.value.debug_string());
          },
          [](const PatternScan& s) {
            return fmt::format(
                "Phantom conflict on pattern ({}-[:{}]->{}): result set changed during transaction",
                s.source_label, s.edge_type, s.target_label);
          },
          [](const TwoHopScan& s) {
            return fmt::format(
                "Phantom conflict on two-hop pattern ({}-[:{}]->{}-[:{}]->{}): result set changed during "
                "transaction",
                s.first_label, s.first_edge_type, s.middle_label, s.second_edge_type, s.last_label);
          },
      },
      record);
}

}  // namespace

DbResult<bool> scan_unchanged(TransactionHost& host, const ScanRecord& record) {
  return std::visit(
      Overloaded{
          [&](const GlobalScan& s) -> DbResult<bool> {
            auto nodes = host.scan_current_nodes();
            if (!nodes) return std::unexpected(std::move(nodes.error()));
            return ids_of(*nodes) == s.ids;
          },
          [&](const LabelScan& s) -> DbResult<bool> {
            auto nodes = host.get_nodes_by_label(s.label);
            if (!nodes) return std::unexpected(std::move(nodes.error()));
            return ids_of(*nodes) == s.ids;
          },
          [&](const PropertyScan& s) -> DbResult<bool> {
            auto ids = host.lookup_property_index(s.property, s.value);
            if (!ids) return std::unexpected(std::move(ids.error()));
            return NodeIdSet(ids->begin(), ids->end()) == s.ids;
          },
          [&](const PredicateScan& s) -> DbResult<bool> {
            auto nodes = committed_nodes_by_property(host, s.label, s.property, s.value);
            if (!nodes) return std::unexpected(std::move(nodes.error()));
            return ids_of(*nodes) == s.ids;
          },
          [&](const PatternScan& s) -> DbResult<bool> {
            auto pairs = pattern_pairs(host, s);
            if (!pairs) return std::unexpected(std::move(pairs.error()));
            return *pairs == s.pairs;
          },
          [&](const TwoHopScan& s) -> DbResult<bool> {
            auto triples = two_hop_triples(host, s);
            if (!triples) return std::unexpected(std::move(triples.error()));
            return *triples == s.triples;
          },
      },
      record);
}

DbResult<void> validate_serializable(TransactionHost& host, const ReadTracking& tracking,
                                   const NodeIdSet& deleted_nodes, std::uint64_t start_timestamp) {
  std::shared_lock read_lock(tracking.read_mu);
  std::shared_lock write_lock(tracking.write_mu);
  std::shared_lock scan_lock(tracking.scan_mu);

  auto newer = [&](const NodeId& id) -> std::optional<std::uint64_t> {
    auto t = host.last_commit_timestamp(id);
    if (t && *t > start_timestamp) return t;
    return std::nullopt;
  };
  for (const NodeId& id : tracking.write_set) {
    if (auto t = newer(id)) {
      return std::unexpected(transaction_conflict(
          fmt::format("Write-Write conflict on node {}: modified by tx at t={}", id.to_string(), *t)));
    }
  }
  for (const NodeId& id : tracking.read_set) {
    if (newer(id)) {
      return std::unexpected(
          transaction_conflict(fmt::format("Read-Write conflict on node {}: read stale data", id.to_string())));
    }
  }
  for (const NodeId& id : deleted_nodes) {
    if (auto t = newer(id)) {
      return std::unexpected(transaction_conflict(
          fmt::format("Delete conflict on node {}: modified by tx at t={}", id.to_string(), *t)));
    }
  }
  for (const ScanRecord& record : tracking.scan_records) {
    auto same = scan_unchanged(host, record);
    if (!same) return std::unexpected(std::move(same.error()));
    if (!*same) return std::unexpected(transaction_conflict(phantom_text(record)));
  }
  ZLOG(Debug, kTarget, "Serializable validation passed (read_set: {}, write_set: {})", tracking.read_set.size(),
       tracking.write_set.size());
  return {};
}

}  // namespace zudizid::transaction
