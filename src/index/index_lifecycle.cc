// Creating and dropping indexes (behind Graph::create_index / drop_index).
#include <mutex>

#include "common/log.h"
#include "index/btree_index.h"
#include "index/hash_index.h"
#include "index/index_manager.h"
#include "index/taxonomy_index.h"
#include "index/value_keys.h"

namespace zudizid::index {

namespace {

constexpr const char* kIndexLog = "zudizid::index";
constexpr const char* kGraphLog = "zudizid::graph";

}  // namespace

DbResult<std::unique_ptr<Index>> IndexManager::make_index(
    IndexType type, const std::string& name) const {
  switch (type) {
    case IndexType::Hash: return std::make_unique<HashIndex>();
    case IndexType::BTree: return std::make_unique<BTreeIndex>();
    case IndexType::Taxonomy: return std::make_unique<TaxonomyIndexAdapter>();
    case IndexType::FullText: {
      if (!fulltext_opener_) {
        return std::unexpected(DbError::index("Full-text indexes are not available"));
      }
      std::optional<std::filesystem::path> dir;
      if (dir_) dir = *dir_ / fmt::format("fulltext_{}", name);
      return fulltext_opener_(dir);
    }
  }
  return std::unexpected(DbError::index("unknown index type"));
}

void IndexManager::unregister_if_same(const std::string& name, const Index* index) {
  std::unique_lock indexes_lock(indexes_mu_);
  std::unique_lock metadata_lock(metadata_mu_);
  auto it = indexes_.find(name);
  if (it == indexes_.end() || it->second.index.get() != index) return;
  indexes_.erase(it);
  metadata_.erase(name);
}

DbResult<std::string> IndexManager::create_index(RecordSource& source,
                                                               std::string_view label,
                                                               std::string_view property,
                                                               IndexType type) {
  if (auto fault = index_definition_fault(label, property)) return std::unexpected(DbError::index(std::move(*fault)));
  ZLOG(Info, kGraphLog, "Creating index on {}.{}", label, property);
  const std::string name = fmt::format("{}_{}", label, property);
  auto already = [&] {
    return std::unexpected(DbError::index(fmt::format("Index {} already exists", name)));
  };
  {
    std::shared_lock lock(indexes_mu_);
    if (indexes_.contains(name)) return already();
  }
  auto made = make_index(type, name);
  if (!made) return std::unexpected(std::move(made.error()));
  if (type == IndexType::FullText) {
    // A dropped full-text index leaves its documents behind; start over.
    if (auto cleared = (*made)->clear(); !cleared) return std::unexpected(std::move(cleared.error()));
  }
  const Index* index = made->get();
  IndexMetadata record{name, std::string(label), std::string(property), type, UtcTime::now(), 0};

  {
    std::unique_lock indexes_lock(indexes_mu_);
    // Checked again: a concurrent creation may have registered the name.
    if (indexes_.contains(name)) return already();
    std::unique_lock metadata_lock(metadata_mu_);
    indexes_.emplace(name, Entry{std::move(*made), record.label, record.property});
    metadata_[name] = record;
    indexes_lock.unlock();
    auto saved = save_metadata(dir_, metadata_);
    if (!saved) {
      // The file still holds the previous list (writes are atomic); forget
      // the index so memory agrees with it.
      metadata_lock.unlock();
      unregister_if_same(name, index);
      return std::unexpected(std::move(saved.error()));
    }
  }
  ZLOG(Info, kIndexLog, "Created {} index: {}", index_type_name(type), name);
  ZLOG(Debug, kGraphLog, "Index metadata created: {}", name);

  if (auto filled = fill(source, name, record); !filled) {
    // A partly filled index would give wrong answers to the query fast
    // path: unregister it and take it out of the file again.
    unregister_if_same(name, index);
    std::unique_lock metadata_lock(metadata_mu_);  // one writer of the file at a time
    if (auto saved = save_metadata(dir_, metadata_); !saved) {
      ZLOG(Warn, kIndexLog, "Failed to remove index {} from metadata after a failed fill: {}",
           name, saved.error().display());
    }
    return std::unexpected(std::move(filled.error()));
  }
  return name;
}

DbResult<void> IndexManager::fill(RecordSource& source, const std::string& name,
                                                const IndexMetadata& record) {
  if (record.index_type == IndexType::Taxonomy) {
    ZLOG(Info, kGraphLog, "Populating taxonomy index {} (label={}, edge_type={})", name,
         record.label, record.property);
    auto nodes = source.get_nodes_by_label(record.label);
    if (!nodes) return std::unexpected(std::move(nodes.error()));
    std::uint64_t node_count = 0, edge_count = 0;
    for (const auto& node : *nodes) {
      if (auto r = index_node(name, PropertyValue::string(node.label), node.id); !r) return r;
      ++node_count;
    }
    auto edges = source.scan_edges();
    if (!edges) return std::unexpected(std::move(edges.error()));
    for (const auto& edge : *edges) {
      if (edge.edge_type != record.property) continue;
      {
        std::unique_lock lock(indexes_mu_);
        if (auto it = indexes_.find(name); it != indexes_.end()) {
          if (auto r = it->second.index->add_subclass(edge.source, edge.target); !r) return r;
        }
      }
      ++edge_count;
    }
    ZLOG(Info, kGraphLog, "✅ Taxonomy index {}: {} nodes, {} edges", name, node_count,
         edge_count);
    return {};
  }

  ZLOG(Info, kGraphLog, "Populating index with existing nodes...");
  auto nodes = source.get_nodes_by_label(record.label);
  if (!nodes) return std::unexpected(std::move(nodes.error()));
  ZLOG(Debug, kGraphLog, "Found {} nodes with label {}", nodes->size(), record.label);
  std::vector<std::pair<PropertyValue, Uuid>> entries;
  for (const auto& node : *nodes) {
    auto value = node.properties.find(record.property);
    if (value == node.properties.end()) continue;
    entries.emplace_back(value->second.clone(), node.id);
  }
  const std::uint64_t count = entries.size();
  if (auto r = index_nodes(name, std::move(entries)); !r) return r;
  ZLOG(Info, kGraphLog, "✅ Indexed {} nodes in {}", count, name);
  return {};
}

DbResult<void> IndexManager::drop_index(std::string_view name) {
  const std::string key(name);
  std::unique_lock indexes_lock(indexes_mu_);
  std::unique_lock metadata_lock(metadata_mu_);
  indexes_.erase(key);
  metadata_.erase(key);
  auto saved = save_metadata(dir_, metadata_);
  if (saved) ZLOG(Info, kIndexLog, "Dropped index: {}", name);
  return saved;
}

}  // namespace zudizid::index
