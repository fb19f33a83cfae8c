#include "index/btree_index.h"

namespace zudizid::index {

DbResult<void> BTreeIndex::insert(PropertyValue value, const Uuid& node_id) {
  auto it = map_.find(value);
  if (it == map_.end()) it = map_.emplace(std::move(value), std::vector<Uuid>{}).first;
  it->second.push_back(node_id);
  return {};
}

DbResult<void> BTreeIndex::remove(const PropertyValue& value, const Uuid& node_id) {
  remove_id(map_, value, node_id);
  return {};
}

std::vector<Uuid> BTreeIndex::collect(Map::const_iterator from, Map::const_iterator to) {
  std::vector<Uuid> out;
  for (; from != to; ++from) out.insert(out.end(), from->second.begin(), from->second.end());
  return out;
}

DbResult<std::vector<Uuid>> BTreeIndex::query(const IndexQuery& query) const {
  struct Visitor {
    const Map& m;
    DbResult<std::vector<Uuid>> operator()(const IndexQuery::Equals& q) const {
      auto it = m.find(q.value);
      return it == m.end() ? std::vector<Uuid>{} : it->second;
    }
    DbResult<std::vector<Uuid>> operator()(const IndexQuery::GreaterThan& q) const {
      return collect(m.upper_bound(q.value), m.end());
    }
    DbResult<std::vector<Uuid>> operator()(
        const IndexQuery::GreaterThanOrEqual& q) const {
      return collect(m.lower_bound(q.value), m.end());
    }
    DbResult<std::vector<Uuid>> operator()(const IndexQuery::LessThan& q) const {
      return collect(m.begin(), m.lower_bound(q.value));
    }
    DbResult<std::vector<Uuid>> operator()(
        const IndexQuery::LessThanOrEqual& q) const {
      return collect(m.begin(), m.upper_bound(q.value));
    }
    DbResult<std::vector<Uuid>> operator()(const IndexQuery::Range& q) const {
      if (KeyLess{}(q.end, q.start)) return std::vector<Uuid>{};
      return collect(m.lower_bound(q.start), m.upper_bound(q.end));
    }
    DbResult<std::vector<Uuid>> operator()(const IndexQuery::FullText&) const {
      return std::unexpected(DbError::index("BTree index does not support full-text search"));
    }
  };
  return std::visit(Visitor{map_}, query.q);
}

DbResult<void> BTreeIndex::clear() {
  map_ = Map{};
  return {};
}

}  // namespace zudizid::index
