// SchemaCache: a summary of what the graph holds -- node labels and edge
// types in order of first appearance, counts per label and type, totals, and
// the property names seen per label and per type.
//
// The summary is built from full scans of the current nodes and the edges,
// never maintained on writes: the cache is born stale, the first reader
// rebuilds it, and afterwards only an explicit rebuild refreshes it. Readers
// copy under the read lock; a rebuild scans without the lock and takes the
// write lock only to swap the new summary in. A failed scan installs nothing.
#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "index/record_source.h"

namespace zudizid::schema {

struct SchemaInfo {
  std::vector<std::string> node_labels;  // first-appearance order, each once
  std::vector<std::string> edge_types;   // first-appearance order, each once
  std::unordered_map<std::string, std::uint64_t> node_counts;
  std::unordered_map<std::string, std::uint64_t> edge_counts;
  std::unordered_map<std::string, std::unordered_set<std::string>> node_properties;
  std::unordered_map<std::string, std::unordered_set<std::string>> edge_properties;
  std::uint64_t total_nodes = 0;
  std::uint64_t total_edges = 0;
};

class SchemaCache {
 public:
  SchemaCache() = default;
  SchemaCache(const SchemaCache&) = delete;
  SchemaCache& operator=(const SchemaCache&) = delete;

  // A copy of the summary, rebuilding first while it is stale.
  DbResult<SchemaInfo> get_schema(index::RecordSource& source);
  // The property names seen on nodes of `label` (no fixed order); empty for a
  // label no node carries.
  DbResult<std::vector<std::string>> get_label_properties(
      index::RecordSource& source, std::string_view label);
  // Rescans and installs a new summary whatever the flag says.
  DbResult<void> rebuild(index::RecordSource& source);

  bool needs_rebuild() const { return needs_rebuild_.load(std::memory_order_acquire); }

 private:
  mutable std::shared_mutex mu_;
  SchemaInfo info_;
  std::atomic<bool> needs_rebuild_{true};
};

}  // namespace zudizid::schema
