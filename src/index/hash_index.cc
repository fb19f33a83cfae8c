#include "index/hash_index.h"

#include <algorithm>


namespace zudizid::index {

std::expected<void, DbError> HashIndex::insert(PropertyValue value, const Uuid& node_id) {
  map_[std::move(value)].push_back(node_id);
  return {};
}

std::expected<void, DbError> HashIndex::remove(const PropertyValue& value, const Uuid& node_id) {
  auto it = map_.find(value);
  if (it == map_.end()) return {};
  auto& ids = it->second;
  ids.erase(std::remove(ids.begin(), ids.end(), node_id), ids.end());
  if (ids.empty()) map_.erase(it);
  return {};
}

std::expected<std::vector<Uuid>, DbError> HashIndex::query(const IndexQuery& query) const {
  const auto* eq = std::get_if<IndexQuery::Equals>(&query.q);
  if (!eq) return std::unexpected(DbError::index("Hash index only supports equality queries"));
  auto it = map_.find(eq->value);
  // The stored identity is looser than equality only for NaN, which equals
  // nothing.
  if (it == map_.end() || !it->first.eq(eq->value)) return std::vector<Uuid>{};
  return it->second;
}

std::expected<void, DbError> HashIndex::clear() {
  map_.clear();
  return {};
}

}  // namespace zudizid::index
