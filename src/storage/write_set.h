// WriteSet: writes to several trees of one store, gathered and then applied
// as one atomic engine batch.
//
//   storage::WriteSet writes(db);
//   writes.put("", "node:...", bytes);              // "" is the default tree
//   auto seen = writes.get("", "node:...");         // sees the staged value
//   if (auto r = writes.apply(); !r) ...            // all of it, or none
//
// Reads through a WriteSet see its own staged writes (a staged removal reads
// as absent) over the store as it is now; they take no lock. Only one
// thread uses a WriteSet. Staging the same key twice keeps the last write.
//
// Id lists of the default tree ("ts:", "idx:" keys) can be staged decoded:
//
//   auto list = writes.id_list("idx:prop:name:x");  // read and decoded once
//   (*list)->add_once(id);                          // O(1), no re-encoding
//
// Many steps of one set then change a list in place, and it is encoded once,
// when the set is applied (or read back as bytes through get). The stored
// bytes are those that decoding, changing and re-encoding at every step
// would leave.
#pragma once

#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "common/uuid.h"
#include "kv/db.h"
#include "storage/db_error.h"

namespace zudizid::storage {

// One id list as staged: its ids in stored order, or absent (the key is
// removed at apply).
class StagedIdList {
 public:
  bool present() const { return present_; }
  const std::vector<common::Uuid>& ids() const { return ids_; }
  bool contains(const common::Uuid& id) const;
  // Appends id unless listed; true when it was appended. Makes the list present.
  bool add_once(const common::Uuid& id);
  // Removes every occurrence of id; true when there was one.
  bool erase(const common::Uuid& id);
  // Replaces the whole list; present.
  void assign(std::span<const common::Uuid> ids);
  // The key is removed at apply.
  void remove();
  // Written back at apply as it is (re-encoded), changed or not.
  void rewrite() { dirty_ = true; }
  bool dirty() const { return dirty_; }

 private:
  friend class WriteSet;
  // Linear search below this length; a hash set of the ids above it.
  static constexpr size_t kIndexedFrom = 32;

  std::vector<common::Uuid> ids_;
  mutable std::unordered_set<common::Uuid> members_;  // every id, once indexed
  mutable bool indexed_ = false;
  bool present_ = false;
  bool dirty_ = false;
};

class WriteSet {
 public:
  explicit WriteSet(const kelm::Db& db) : db_(db) {}
  WriteSet(const WriteSet&) = delete;
  WriteSet& operator=(const WriteSet&) = delete;

  const kelm::Db& db() const { return db_; }

  DbResult<std::optional<kelm::IVec>> get(std::string_view tree, std::string_view key);
  DbResult<void> put(std::string_view tree, std::string_view key, std::vector<uint8_t> value);
  DbResult<void> put(std::string_view tree, std::string_view key, std::string_view value);
  DbResult<void> remove(std::string_view tree, std::string_view key);
  // The id list under key in the default tree, loaded and decoded on first
  // use (absent: an empty list that is not present). A value that is no id
  // list fails with the decoder's error and stages nothing.
  DbResult<StagedIdList*> id_list(std::string_view key);
  // Stages ids as the whole list under key, without reading what is stored.
  void put_id_list(std::string_view key, std::span<const common::Uuid> ids);

  bool empty() const { return staged_.empty() && id_lists_.empty(); }
  // Applies everything staged as one batch and empties the set.
  DbResult<void> apply();

 private:
  struct Staged {
    kelm::Tree tree;
    kelm::Batch batch;
  };
  DbResult<Staged*> staged(std::string_view tree);

  // Moves the changed id lists into the default tree's batch.
  DbResult<void> stage_id_lists();

  const kelm::Db& db_;
  std::map<std::string, Staged, std::less<>> staged_;
  std::unordered_map<std::string, StagedIdList> id_lists_;
};

}  // namespace zudizid::storage
