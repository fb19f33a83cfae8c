#include "storage/write_set.h"

namespace zudizid::storage {

DbResult<WriteSet::Staged*> WriteSet::staged(std::string_view tree) {
  if (auto it = staged_.find(tree); it != staged_.end()) return &it->second;
  kelm::Tree handle = db_.default_tree();
  if (!tree.empty()) {
    auto opened = db_.open_tree(tree);
    if (!opened) return std::unexpected(DbError(opened.error()));
    handle = std::move(*opened);
  }
  return &staged_.emplace(std::string(tree), Staged{std::move(handle), {}}).first->second;
}

DbResult<std::optional<kelm::IVec>> WriteSet::get(std::string_view tree, std::string_view key) {
  auto s = staged(tree);
  if (!s) return std::unexpected(std::move(s.error()));
  const auto& writes = (*s)->batch.writes;
  if (auto it = writes.find(kelm::IVec::from_slice(kelm::Tree::as_bytes(key))); it != writes.end()) {
    return it->second;
  }
  auto value = (*s)->tree.get(key);
  if (!value) return std::unexpected(DbError(value.error()));
  return std::move(*value);
}

DbResult<void> WriteSet::put(std::string_view tree, std::string_view key, std::vector<uint8_t> value) {
  auto s = staged(tree);
  if (!s) return std::unexpected(std::move(s.error()));
  (*s)->batch.insert(kelm::Tree::as_bytes(key), std::move(value));
  return {};
}

DbResult<void> WriteSet::put(std::string_view tree, std::string_view key, std::string_view value) {
  return put(tree, key, std::vector<uint8_t>(value.begin(), value.end()));
}

DbResult<void> WriteSet::remove(std::string_view tree, std::string_view key) {
  auto s = staged(tree);
  if (!s) return std::unexpected(std::move(s.error()));
  (*s)->batch.remove(key);
  return {};
}

DbResult<void> WriteSet::apply() {
  std::vector<std::pair<kelm::Tree, kelm::Batch>> batches;
  for (auto& [_, s] : staged_) {
    if (s.batch.size() != 0) batches.emplace_back(std::move(s.tree), std::move(s.batch));
  }
  staged_.clear();
  if (batches.empty()) return {};
  if (auto r = kelm::apply_batches(std::move(batches)); !r) return std::unexpected(DbError(r.error()));
  return {};
}

}  // namespace zudizid::storage
