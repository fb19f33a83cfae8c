#include "index/index_manager.h"

#include <sys/stat.h>

#include <cerrno>

#include <mutex>
#include <system_error>

#include "common/log.h"
#include "index/fulltext_index.h"
#include "index/metadata_file.h"
#include "index/taxonomy_index.h"
#include "index/value_keys.h"

namespace zudizid::index {

namespace {

constexpr const char* kLog = "zudizid::index";

}  // namespace

IndexManager::IndexManager(std::optional<std::filesystem::path> index_dir)
    : dir_(std::move(index_dir)) {
  if (dir_) {
    std::error_code ec;
    std::filesystem::create_directories(*dir_, ec);
    if (ec) {
      ZLOG(Warn, kLog, "Failed to create index directory {}: {}", dir_->string(),
           common::IoError::from_os(ec.value()).display());
    }
  }
}

DbResult<void> IndexManager::save_metadata(
    const std::optional<std::filesystem::path>& dir, const MetadataMap& metadata) {
  if (!dir) return {};
  std::vector<IndexMetadata> entries;
  entries.reserve(metadata.size());
  for (const auto& [name, record] : metadata) entries.push_back(record);
  auto written = write_file_atomically(*dir, kMetadataFileName, encode_metadata(entries));
  if (!written) {
    return std::unexpected(DbError::message("Failed to write metadata: " + written.error().display()));
  }
  return {};
}

DbResult<void> IndexManager::load_metadata(RecordSource& source) {
  if (!dir_) return {};
  const std::filesystem::path path = *dir_ / kMetadataFileName;
  // Only a missing file means "no index". An unreadable or undecodable list
  // fails the open: treating it as empty would silently lose every index
  // (and the next save would make the loss permanent).
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) return {};
  ZLOG(Info, kLog, "Loading index metadata from {}", path.string());
  auto bytes = read_whole_file(path);
  if (!bytes || !*bytes) {
    DbError err = DbError::message(
        "Failed to read metadata: " +
        (bytes ? common::IoError::from_os(ENOENT).display() : bytes.error().display()));
    ZLOG(Error, kLog, "Failed to load index metadata: {}", err.display());
    return std::unexpected(std::move(err));
  }
  auto decoded = decode_metadata(**bytes);
  if (!decoded) {
    DbError err = DbError::serialization("Failed to deserialize metadata: " + decoded.error());
    ZLOG(Error, kLog, "Failed to load index metadata: {}", err.display());
    return std::unexpected(std::move(err));
  }

  // Repair: drop blank entries, keep the latest of duplicate names.
  bool repaired = false;
  MetadataMap working;
  for (auto& entry : *decoded) {
    if (is_blank(entry.name) || is_blank(entry.label) || is_blank(entry.property)) {
      repaired = true;
      ZLOG(Warn, kLog, "Skipping malformed index metadata entry: {}", debug_string(entry));
      continue;
    }
    auto [it, fresh] = working.try_emplace(entry.name, entry);
    if (!fresh) {
      repaired = true;
      if (entry.created_at > it->second.created_at) it->second = std::move(entry);
    }
  }
  if (working.empty()) {
    ZLOG(Warn, kLog, "No valid index metadata entries after repair");
    if (repaired) return save_metadata(dir_, working);
    return {};
  }

  // Fresh, empty indexes for every record.
  std::unordered_map<std::string, Entry> fresh_indexes;
  // label -> (index name, property) of the value indexes on that label.
  std::unordered_map<std::string, std::vector<std::pair<std::string, std::string>>> by_label;
  std::vector<std::string> taxonomy_names;
  for (const auto& [name, record] : working) {
    auto made = make_index(record.index_type, name);
    if (!made) return std::unexpected(std::move(made.error()));
    if (record.index_type == IndexType::FullText) {
      // A full-text index keeps its documents across opens; start it over so
      // the rebuild below does not add a second copy of each.
      if (auto cleared = (*made)->clear(); !cleared) return cleared;
    }
    fresh_indexes.emplace(name, Entry{std::move(*made), record.label, record.property});
    if (record.index_type == IndexType::Taxonomy) {
      taxonomy_names.push_back(name);
    } else {
      by_label[record.label].emplace_back(name, record.property);
    }
  }

  std::unordered_map<std::string, std::uint64_t> counts;
  auto nodes = source.scan_current_nodes();
  if (!nodes) return std::unexpected(std::move(nodes.error()));
  // Each index gets all its entries in one batch: a full-text index then
  // commits once instead of once per node.
  std::unordered_map<std::string, std::vector<std::pair<PropertyValue, Uuid>>> batches;
  for (const auto& node : *nodes) {
    auto it = by_label.find(node.label);
    if (it == by_label.end()) continue;
    for (const auto& [name, property] : it->second) {
      auto value = node.properties.find(property);
      if (value == node.properties.end()) continue;
      batches[name].emplace_back(value->second.clone(), node.id);
      ++counts[name];
    }
  }
  for (auto& [name, entries] : batches) {
    if (auto inserted = fresh_indexes.at(name).index->insert_batch(std::move(entries)); !inserted) return inserted;
  }
  if (!taxonomy_names.empty()) {
    auto edges = source.scan_edges();
    if (!edges) return std::unexpected(std::move(edges.error()));
    for (const auto& name : taxonomy_names) {
      const IndexMetadata& record = working.at(name);
      Index& index = *fresh_indexes.at(name).index;
      for (const auto& node : *nodes) {
        if (node.label != record.label) continue;
        auto inserted = index.insert(PropertyValue::string(node.label), node.id);
        if (!inserted) return inserted;
        ++counts[name];
      }
      for (const auto& edge : *edges) {
        if (edge.edge_type != record.property) continue;
        auto linked = index.add_subclass(edge.source, edge.target);
        if (!linked) return linked;
      }
      ZLOG(Info, kLog, "Rebuilt taxonomy index {} (label={}, edge_type={})", name, record.label,
           record.property);
    }
  }
  for (auto& [name, record] : working) {
    const std::uint64_t count = counts[name];
    if (count != record.size) {
      repaired = true;
      record.size = count;
    }
    ZLOG(Info, kLog, "Rebuilt index {} with {} entries", name, count);
  }

  {
    std::unique_lock indexes_lock(indexes_mu_);
    std::unique_lock metadata_lock(metadata_mu_);
    indexes_ = std::move(fresh_indexes);
    metadata_ = working;
  }
  if (repaired) {
    ZLOG(Info, kLog, "Persisting repaired index metadata");
    return save_metadata(dir_, working);
  }
  return {};
}

std::optional<std::string> IndexManager::find_by_label_property(std::string_view label,
                                                                std::string_view property) const {
  std::string name = fmt::format("{}_{}", label, property);
  std::shared_lock lock(indexes_mu_);
  auto it = indexes_.find(name);
  // Names can collide ("a_b" + "c" and "a" + "b_c"): match the pair itself.
  if (it == indexes_.end() || it->second.label != label || it->second.property != property) {
    return std::nullopt;
  }
  return name;
}

std::optional<std::vector<Uuid>> IndexManager::equal_ids(std::string_view label, std::string_view property,
                                                         const PropertyValue& value) const {
  auto name = find_by_label_property(label, property);
  if (!name) return std::nullopt;
  {
    std::shared_lock lock(metadata_mu_);
    auto it = metadata_.find(*name);
    if (it == metadata_.end() ||
        (it->second.index_type != IndexType::Hash && it->second.index_type != IndexType::BTree)) {
      return std::nullopt;
    }
  }
  std::shared_lock lock(indexes_mu_);
  auto it = indexes_.find(*name);
  if (it == indexes_.end() || it->second.label != label || it->second.property != property) return std::nullopt;
  auto ids = it->second.index->query(IndexQuery{IndexQuery::Equals{value.clone()}});
  if (!ids) return std::nullopt;
  return std::move(*ids);
}

DbResult<std::vector<Uuid>> IndexManager::get(std::string_view name,
                                                            const IndexQuery& query) const {
  std::shared_lock lock(indexes_mu_);
  auto it = indexes_.find(std::string(name));
  if (it == indexes_.end()) {
    return std::unexpected(DbError::index(fmt::format("Index not found: {}", name)));
  }
  return it->second.index->query(query);
}

DbResult<std::vector<Uuid>> IndexManager::search_text(std::string_view name, const std::string& text,
                                                      std::size_t limit) const {
  std::shared_lock lock(indexes_mu_);
  auto it = indexes_.find(std::string(name));
  if (it == indexes_.end()) {
    return std::unexpected(DbError::index(fmt::format("Index not found: {}", name)));
  }
  if (const auto* fulltext = dynamic_cast<const FullTextIndex*>(it->second.index.get())) {
    return fulltext->search(text, limit);
  }
  return it->second.index->query(IndexQuery{IndexQuery::FullText{text}});
}

std::vector<IndexMetadata> IndexManager::list() const {
  std::shared_lock lock(metadata_mu_);
  std::vector<IndexMetadata> out;
  out.reserve(metadata_.size());
  for (const auto& [name, record] : metadata_) out.push_back(record);
  return out;
}

DbResult<void> IndexManager::index_node(std::string_view name, PropertyValue value,
                                                      const Uuid& node_id) {
  std::vector<std::pair<PropertyValue, Uuid>> one;
  one.emplace_back(std::move(value), node_id);
  return index_nodes(name, std::move(one));
}

DbResult<void> IndexManager::index_nodes(std::string_view name,
                                         std::vector<std::pair<PropertyValue, Uuid>> entries) {
  const std::string key(name);
  const std::uint64_t added = entries.size();
  {
    std::unique_lock lock(indexes_mu_);
    auto it = indexes_.find(key);
    if (it == indexes_.end()) return {};
    auto inserted = it->second.index->insert_batch(std::move(entries));
    if (!inserted) return inserted;
  }
  std::unique_lock lock(metadata_mu_);
  if (auto it = metadata_.find(key); it != metadata_.end() && it->second.size != UINT64_MAX) {
    it->second.size = added > UINT64_MAX - 1 - it->second.size ? UINT64_MAX : it->second.size + added;
  }
  return {};
}

DbResult<void> IndexManager::update_node(const Node* old, const Node* now) {
  auto value_of = [](const Node* n, const Entry& e) -> const PropertyValue* {
    if (n == nullptr || n->label != e.label) return nullptr;
    auto it = n->properties.find(e.property);
    return it == n->properties.end() ? nullptr : &it->second;
  };
  std::unordered_map<std::string, std::int64_t> size_changes;
  {
    std::unique_lock lock(indexes_mu_);
    for (auto& [name, entry] : indexes_) {
      if (entry.index->as_taxonomy()) continue;
      const PropertyValue* before = value_of(old, entry);
      const PropertyValue* after = value_of(now, entry);
      if (before == nullptr && after == nullptr) continue;
      if (before != nullptr && after != nullptr && old->id == now->id && key_identical(*before, *after)) continue;
      if (before != nullptr) {
        if (auto r = entry.index->remove(*before, old->id); !r) return r;
        --size_changes[name];
      }
      if (after != nullptr) {
        if (auto r = entry.index->insert(after->clone(), now->id); !r) return r;
        ++size_changes[name];
      }
    }
  }
  std::unique_lock lock(metadata_mu_);
  for (const auto& [name, change] : size_changes) {
    auto it = metadata_.find(name);
    if (it == metadata_.end()) continue;
    std::uint64_t& size = it->second.size;
    if (change < 0) {
      size -= std::min<std::uint64_t>(size, static_cast<std::uint64_t>(-change));
    } else if (size != UINT64_MAX) {
      size += static_cast<std::uint64_t>(change);
    }
  }
  return {};
}

bool IndexManager::has_value_indexes() const {
  std::shared_lock lock(indexes_mu_);
  for (const auto& [name, entry] : indexes_) {
    if (!entry.index->as_taxonomy()) return true;
  }
  return false;
}

void IndexManager::register_taxonomy(taxonomy::TaxonomyIndex hierarchy) {
  auto index = std::make_unique<TaxonomyIndexAdapter>(std::move(hierarchy));
  std::unique_lock lock(indexes_mu_);
  indexes_[std::string(kTaxonomyIndexName)] = Entry{std::move(index), "", "taxonomy"};
}

std::shared_ptr<const taxonomy::TaxonomyIndex> IndexManager::get_taxonomy() const {
  // Waits for read access: answering "no hierarchy" while a writer holds the
  // lock would make instanceOf/subClassOf silently false.
  std::shared_lock lock(indexes_mu_);
  if (auto it = indexes_.find(std::string(kTaxonomyIndexName)); it != indexes_.end()) {
    if (auto t = it->second.index->as_taxonomy()) return t;
  }
  for (const auto& [name, entry] : indexes_) {
    if (auto t = entry.index->as_taxonomy()) return t;
  }
  return nullptr;
}

}  // namespace zudizid::index
