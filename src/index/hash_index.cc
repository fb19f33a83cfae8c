#include "index/hash_index.h"

namespace zudizid::index {

DbResult<void> HashIndex::insert(PropertyValue value, const Uuid& node_id) {
  map_[std::move(value)].push_back(node_id);
  return {};
}

DbResult<void> HashIndex::remove(const PropertyValue& value, const Uuid& node_id) {
  remove_id(map_, value, node_id);
  return {};
}

DbResult<std::vector<Uuid>> HashIndex::query(const IndexQuery& query) const {
  const auto* eq = std::get_if<IndexQuery::Equals>(&query.q);
  if (!eq) return std::unexpected(DbError::index("Hash index only supports equality queries"));
  auto it = map_.find(eq->value);
  // The stored identity is looser than equality only for NaN, which equals
  // nothing.
  if (it == map_.end() || !it->first.eq(eq->value)) return std::vector<Uuid>{};
  return it->second;
}

DbResult<void> HashIndex::clear() {
  map_.clear();
  return {};
}

}  // namespace zudizid::index
