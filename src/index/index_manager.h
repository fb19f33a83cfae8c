// IndexManager: the registry of one open database's secondary indexes.
//
// It keeps every index object by name ("{label}_{property}"; the built-in
// class hierarchy is "_taxonomy"), an IndexMetadata record for every
// user-created index, and the list of those records in "metadata.bin" in the
// database's `indexes` directory. At open it rebuilds every listed index from
// the stored nodes and edges (hash, B-tree and taxonomy contents live only in
// memory). An in-memory database has no directory and touches no file.
//
// Locks: one reader/writer lock over the index objects, one over the
// metadata. Whenever both are needed they are taken indexes first, then
// metadata, never the reverse. Index objects are changed only under the
// indexes write lock (or before they are registered).
//
// Invariants: every name in the metadata map is also in the index map;
// "_taxonomy" is in the index map only. "metadata.bin" is replaced
// atomically, so after a crash it holds either the old or the new list.
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "index/index.h"
#include "index/index_metadata.h"
#include "index/record_source.h"
#include "index/taxonomy.h"

namespace zudizid::index {

inline constexpr std::string_view kTaxonomyIndexName = "_taxonomy";

class IndexManager {
 public:
  using MetadataMap = std::map<std::string, IndexMetadata>;
  // Opens (or creates) a full-text index in `dir`, or in memory when `dir`
  // is empty. Supplied by the full-text layer.
  using FullTextOpener = std::function<DbResult<std::unique_ptr<Index>>(
      const std::optional<std::filesystem::path>& dir)>;

  // Creates the directory (with parents) when given; a failure is logged as
  // a warning and later saves fail.
  explicit IndexManager(std::optional<std::filesystem::path> index_dir);

  IndexManager(const IndexManager&) = delete;
  IndexManager& operator=(const IndexManager&) = delete;

  void set_fulltext_opener(FullTextOpener opener) { fulltext_opener_ = std::move(opener); }
  const std::optional<std::filesystem::path>& index_dir() const { return dir_; }

  // Reads "metadata.bin", repairs it (blank fields, duplicate names, stale
  // sizes), rebuilds every listed index from `source` and installs them.
  // A missing file is no error; an unreadable or undecodable one is.
  DbResult<void> load_metadata(RecordSource& source);

  // Writes `metadata` to dir/"metadata.bin" atomically; without a directory
  // succeeds at once.
  static DbResult<void> save_metadata(
      const std::optional<std::filesystem::path>& dir, const MetadataMap& metadata);

  // The name of the index registered for exactly this label and property.
  std::optional<std::string> find_by_label_property(std::string_view label,
                                                    std::string_view property) const;

  // The ids a hash or B-tree index on exactly (label, property) lists under
  // a value equal to `value`: every current node of `label` whose property
  // equals it, and possibly more (callers re-check the records). None when
  // no such index is registered or it cannot answer.
  std::optional<std::vector<Uuid>> equal_ids(std::string_view label, std::string_view property,
                                             const PropertyValue& value) const;

  // Runs `query` on the named index under the read lock.
  DbResult<std::vector<Uuid>> get(std::string_view name,
                                                const IndexQuery& query) const;

  // The first `limit` ids (at most 1000) of a full-text search of `text` on
  // the named index, best first: a prefix of what get() with
  // IndexQuery::FullText answers. Another kind of index answers get().
  DbResult<std::vector<Uuid>> search_text(std::string_view name, const std::string& text,
                                          std::size_t limit) const;

  // Copies of every metadata record ("_taxonomy" has none).
  std::vector<IndexMetadata> list() const;

  // Inserts (value, node id) into the named index and counts it in the
  // record's size. An unregistered name is no error and has no effect.
  DbResult<void> index_node(std::string_view name, PropertyValue value,
                                          const Uuid& node_id);
  // The same for many entries at once (one commit for a full-text index).
  DbResult<void> index_nodes(std::string_view name, std::vector<std::pair<PropertyValue, Uuid>> entries);

  // Keeps every value index (hash, B-tree, full-text) in step with one node
  // write: the entries of `old` (the record replaced or deleted; null when
  // there was none) go, those of `now` (the record written; null for a
  // delete) come. A property whose value is unchanged is left alone. Each
  // removed entry lowers, each added one raises its record's size.
  DbResult<void> update_node(const Node* old, const Node* now);
  // Whether any value index is registered (a writer that would have to
  // read old records for update_node can skip that without one).
  bool has_value_indexes() const;

  // Installs `hierarchy` as "_taxonomy", replacing what was there.
  void register_taxonomy(taxonomy::TaxonomyIndex hierarchy);

  // The class hierarchy ("_taxonomy" first, else the first user Taxonomy
  // index) as a read-only snapshot that later changes do not reach, waiting
  // for read access; null when no index holds one. Handing out a shared
  // snapshot instead of a deep copy makes this O(1) and lets the subclass
  // memo serve every caller until the hierarchy changes.
  std::shared_ptr<const taxonomy::TaxonomyIndex> get_taxonomy() const;

  // Registers, persists and fills a new index on (label, property); returns
  // its name. On any failure the index is not left registered.
  DbResult<std::string> create_index(RecordSource& source, std::string_view label,
                                                   std::string_view property, IndexType type);

  // Unregisters `name` (no error when absent) and rewrites the metadata.
  DbResult<void> drop_index(std::string_view name);

 private:
  struct Entry {
    std::unique_ptr<Index> index;
    std::string label;
    std::string property;
  };

  DbResult<std::unique_ptr<Index>> make_index(IndexType type,
                                                            const std::string& name) const;
  // Removes `name` from both maps if it still holds `index`.
  void unregister_if_same(const std::string& name, const Index* index);
  DbResult<void> fill(RecordSource& source, const std::string& name,
                                    const IndexMetadata& record);

  std::optional<std::filesystem::path> dir_;
  FullTextOpener fulltext_opener_;

  mutable std::shared_mutex indexes_mu_;
  std::unordered_map<std::string, Entry> indexes_;
  mutable std::shared_mutex metadata_mu_;
  MetadataMap metadata_;
};

}  // namespace zudizid::index
