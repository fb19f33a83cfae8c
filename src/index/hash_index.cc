#include "index/hash_index.h"

namespace zudizid::index {

std::expected<void, DbError> HashIndex::insert(PropertyValue value, const Uuid& node_id) {
  map_[std::move(value)].push_back(node_id);
  return {};
}

std::expected<void, DbError> HashIndex::remove(const PropertyValue& value, const Uuid& node_id) {
  remove_id(map_, value, node_id);
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
