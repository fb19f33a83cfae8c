#include "schema/schema_cache.h"

#include <mutex>

#include "common/log.h"

namespace zudizid::schema {

namespace {

constexpr const char* kLog = "zudizid::schema";

// Counts one record of `kind` with the given property names. The kind list
// keeps first-appearance order; membership is checked through the count map
// rather than by searching the list.
template <class Properties>
void count(const std::string& kind, const Properties& properties,
           std::vector<std::string>& kinds, std::unordered_map<std::string, std::uint64_t>& counts,
           std::unordered_map<std::string, std::unordered_set<std::string>>& names,
           std::uint64_t& total) {
  auto [it, fresh] = counts.try_emplace(kind, 0);
  auto& seen = names[kind];
  if (fresh) kinds.push_back(kind);
  ++it->second;
  ++total;
  for (const auto& [name, value] : properties) seen.insert(name);
}

}  // namespace

DbResult<void> SchemaCache::rebuild(index::RecordSource& source) {
  ZLOG(Info, kLog, "Rebuilding schema from graph...");
  SchemaInfo next;
  auto nodes = source.scan_current_nodes();
  if (!nodes) return std::unexpected(std::move(nodes.error()));
  ZLOG(Debug, kLog, "Scanning {} nodes for schema", nodes->size());
  for (const auto& node : *nodes) {
    count(node.label, node.properties, next.node_labels, next.node_counts, next.node_properties,
          next.total_nodes);
  }
  auto edges = source.scan_edges();
  if (!edges) return std::unexpected(std::move(edges.error()));
  ZLOG(Debug, kLog, "Scanning {} edges for schema", edges->size());
  for (const auto& edge : *edges) {
    count(edge.edge_type, edge.properties, next.edge_types, next.edge_counts,
          next.edge_properties, next.total_edges);
  }
  {
    std::unique_lock lock(mu_);
    info_ = std::move(next);
  }
  needs_rebuild_.store(false, std::memory_order_release);
  ZLOG(Info, kLog, "Schema rebuilt successfully");
  return {};
}

DbResult<SchemaInfo> SchemaCache::get_schema(index::RecordSource& source) {
  if (needs_rebuild()) {
    if (auto r = rebuild(source); !r) return std::unexpected(std::move(r.error()));
  }
  std::shared_lock lock(mu_);
  return info_;
}

DbResult<std::vector<std::string>> SchemaCache::get_label_properties(
    index::RecordSource& source, std::string_view label) {
  auto info = get_schema(source);
  if (!info) return std::unexpected(std::move(info.error()));
  auto it = info->node_properties.find(std::string(label));
  if (it == info->node_properties.end()) return std::vector<std::string>{};
  return std::vector<std::string>(it->second.begin(), it->second.end());
}

}  // namespace zudizid::schema
