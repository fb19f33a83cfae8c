#include "storage/write_set.h"

#include <algorithm>

#include "storage/storage_lists.h"

namespace zudizid::storage {

bool StagedIdList::contains(const common::Uuid& id) const {
  if (ids_.size() < kIndexedFrom) return std::find(ids_.begin(), ids_.end(), id) != ids_.end();
  if (!indexed_) {
    members_.insert(ids_.begin(), ids_.end());
    indexed_ = true;
  }
  return members_.contains(id);
}

bool StagedIdList::add_once(const common::Uuid& id) {
  if (contains(id)) return false;
  ids_.push_back(id);
  if (indexed_) members_.insert(id);
  present_ = dirty_ = true;
  return true;
}

bool StagedIdList::erase(const common::Uuid& id) {
  if (!contains(id)) return false;
  std::erase(ids_, id);
  if (indexed_) members_.erase(id);
  dirty_ = true;
  return true;
}

void StagedIdList::assign(std::span<const common::Uuid> ids) {
  ids_.assign(ids.begin(), ids.end());
  members_.clear();
  indexed_ = false;
  present_ = dirty_ = true;
}

void StagedIdList::remove() {
  ids_.clear();
  members_.clear();
  indexed_ = false;
  present_ = false;
  dirty_ = true;
}

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
  if (tree.empty()) {
    if (auto it = id_lists_.find(std::string(key)); it != id_lists_.end() && it->second.dirty_) {
      if (!it->second.present_) return std::optional<kelm::IVec>{};
      return std::optional<kelm::IVec>(kelm::IVec::from_vec(records::encode_id_list(it->second.ids_)));
    }
  }
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

DbResult<StagedIdList*> WriteSet::id_list(std::string_view key) {
  std::string owned(key);
  if (auto it = id_lists_.find(owned); it != id_lists_.end()) return &it->second;
  auto value = get("", key);
  if (!value) return std::unexpected(std::move(value.error()));
  StagedIdList list;
  if (*value) {
    auto ids = records::decode_id_list((*value)->bytes());
    if (!ids) return std::unexpected(std::move(ids.error()));
    list.ids_ = std::move(*ids);
    list.present_ = true;
  }
  return &id_lists_.emplace(std::move(owned), std::move(list)).first->second;
}

void WriteSet::put_id_list(std::string_view key, std::span<const common::Uuid> ids) {
  id_lists_[std::string(key)].assign(ids);
}

DbResult<void> WriteSet::put(std::string_view tree, std::string_view key, std::vector<uint8_t> value) {
  if (tree.empty()) id_lists_.erase(std::string(key));
  auto s = staged(tree);
  if (!s) return std::unexpected(std::move(s.error()));
  (*s)->batch.insert(kelm::Tree::as_bytes(key), std::move(value));
  return {};
}

DbResult<void> WriteSet::put(std::string_view tree, std::string_view key, std::string_view value) {
  return put(tree, key, std::vector<uint8_t>(value.begin(), value.end()));
}

DbResult<void> WriteSet::remove(std::string_view tree, std::string_view key) {
  if (tree.empty()) id_lists_.erase(std::string(key));
  auto s = staged(tree);
  if (!s) return std::unexpected(std::move(s.error()));
  (*s)->batch.remove(key);
  return {};
}

DbResult<void> WriteSet::stage_id_lists() {
  if (id_lists_.empty()) return {};
  auto s = staged("");
  if (!s) return std::unexpected(std::move(s.error()));
  for (auto& [key, list] : id_lists_) {
    if (!list.dirty_) continue;
    if (list.present_) {
      (*s)->batch.insert(kelm::Tree::as_bytes(key), records::encode_id_list(list.ids_));
    } else {
      (*s)->batch.remove(std::string_view(key));
    }
  }
  id_lists_.clear();
  return {};
}

DbResult<void> WriteSet::apply() {
  if (auto r = stage_id_lists(); !r) return r;
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
