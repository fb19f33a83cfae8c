// Index metadata: meta.json, the segment ids and the files of a segment.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/uuid.h"
#include "fulltext/directory/directory.h"
#include "fulltext/error/error.h"
#include "fulltext/schema/schema.h"

namespace fendral::index {

class SegmentId {
 public:
  SegmentId() = default;
  explicit SegmentId(zudizid::common::Uuid id) : id_(id) {}
  static SegmentId generate_random() { return SegmentId(zudizid::common::Uuid::new_v4()); }

  const zudizid::common::Uuid& uuid() const { return id_; }
  std::string uuid_string() const;  // 32 lower-case hex digits: the file stem
  std::string stored_form() const { return id_.to_string(); }
  std::string short_form() const { return uuid_string().substr(0, 8); }
  std::string debug() const { return "Seg(\"" + short_form() + "\")"; }
  auto operator<=>(const SegmentId&) const = default;

 private:
  zudizid::common::Uuid id_;
};

enum class SegmentComponent { Postings, Positions, FastFields, FieldNorms, Terms, Store, Delete };
constexpr SegmentComponent kAllComponents[] = {SegmentComponent::Postings,   SegmentComponent::Positions,
                                               SegmentComponent::FastFields, SegmentComponent::FieldNorms,
                                               SegmentComponent::Terms,      SegmentComponent::Store,
                                               SegmentComponent::Delete};

struct DeleteMeta {
  uint32_t num_deleted_docs = 0;
  uint64_t opstamp = 0;
  bool operator==(const DeleteMeta&) const = default;
  std::string debug() const;
};

enum class Compressor { None = 0, Lz4 = 1 };

struct IndexSettings {
  Compressor docstore_compression = Compressor::Lz4;
  bool docstore_compress_dedicated_thread = true;
  uint64_t docstore_blocksize = 16384;
  bool operator==(const IndexSettings&) const = default;
};

class SegmentMetaInventory;

// A shared, immutable record of one segment, listed in its inventory while
// any holder keeps it.
class SegmentMeta {
 public:
  struct Inner {
    SegmentId segment_id;
    uint32_t max_doc = 0;
    std::optional<DeleteMeta> deletes;
  };

  const SegmentId& id() const { return inner_->segment_id; }
  uint32_t max_doc() const { return inner_->max_doc; }
  const std::optional<DeleteMeta>& deletes() const { return inner_->deletes; }
  uint32_t num_deleted_docs() const { return inner_->deletes ? inner_->deletes->num_deleted_docs : 0; }
  bool has_deletes() const { return num_deleted_docs() > 0; }
  std::optional<uint64_t> delete_opstamp() const {
    return inner_->deletes ? std::optional<uint64_t>(inner_->deletes->opstamp) : std::nullopt;
  }

  std::string relative_path(SegmentComponent component) const;
  // The seven file names, one per component, the delete file included.
  std::set<std::string> list_files() const;

  // A new segment's meta with its document count. Contract: max_doc 0 and no
  // deletes.
  SegmentMeta with_max_doc(uint32_t max_doc) const;
  // A copy with the given delete state. Contract: num_deleted_docs <= max_doc.
  SegmentMeta with_delete_meta(uint32_t num_deleted_docs, uint64_t opstamp) const;

 private:
  friend class SegmentMetaInventory;
  SegmentMeta(std::shared_ptr<const Inner> inner, std::shared_ptr<SegmentMetaInventory> inventory)
      : inner_(std::move(inner)), inventory_(std::move(inventory)) {}
  std::shared_ptr<const Inner> inner_;
  std::shared_ptr<SegmentMetaInventory> inventory_;
};

// Every live SegmentMeta of one index.
class SegmentMetaInventory : public std::enable_shared_from_this<SegmentMetaInventory> {
 public:
  static std::shared_ptr<SegmentMetaInventory> create() { return std::shared_ptr<SegmentMetaInventory>(new SegmentMetaInventory()); }
  SegmentMeta new_segment_meta(SegmentId id, uint32_t max_doc);
  SegmentMeta track(SegmentMeta::Inner inner);
  std::vector<SegmentMeta> all();

 private:
  SegmentMetaInventory() = default;
  std::mutex mu_;
  std::vector<std::weak_ptr<const SegmentMeta::Inner>> metas_;
};

struct IndexMeta {
  IndexSettings index_settings;
  std::vector<SegmentMeta> segments;
  schema::Schema schema;
  uint64_t opstamp = 0;
  std::optional<std::string> payload;

  // Appends the JSON text (two-space pretty form when `pretty`).
  void serialize(std::string& out, bool pretty) const;
};

// Reads meta.json through the directory and registers its segment metas in
// the inventory (only after the whole file has parsed).
Result<IndexMeta> load_metas(const Directory& directory, const std::shared_ptr<SegmentMetaInventory>& inventory);

// The bytes save_metas writes: pretty JSON and one line feed.
std::string meta_json_text(const IndexMeta& meta);

// Writes meta.json: pretty JSON and a line feed, directory synced first, then
// replaced atomically (the directory's atomic_write makes the rename durable).
Result<void> save_metas(const IndexMeta& meta, const Directory& directory);
// Saves the meta of a new index (no segments, opstamp 0) and syncs again.
Result<void> save_new_metas(const schema::Schema& schema, const IndexSettings& settings, const Directory& directory);

// The schema of a stored index must equal the expected one.
Result<void> check_schema(const schema::Schema& stored, const schema::Schema& expected);

}  // namespace fendral::index
