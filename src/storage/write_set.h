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
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "kv/db.h"
#include "storage/db_error.h"

namespace zudizid::storage {

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

  bool empty() const { return staged_.empty(); }
  // Applies everything staged as one batch and empties the set.
  DbResult<void> apply();

 private:
  struct Staged {
    kelm::Tree tree;
    kelm::Batch batch;
  };
  DbResult<Staged*> staged(std::string_view tree);

  const kelm::Db& db_;
  std::map<std::string, Staged, std::less<>> staged_;
};

}  // namespace zudizid::storage
