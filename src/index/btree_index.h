// B-tree index: equality, comparison and range lookups over the value order.
//
// Keys are ordered by PropertyValue's order across kinds (Null, Bool,
// numbers, String, Bytes, List, Object) with Int and Float compared exactly,
// so Int 1 and Float 1.0 are one key (kept as first stored) and every NaN is
// one key above all numbers. That order is a strict weak order, which the
// ordered map requires. Results are grouped by key in ascending key order,
// the ids of one key in insertion order.
#pragma once

#include <map>
#include <vector>

#include "index/index.h"
#include "index/value_keys.h"

namespace zudizid::index {

class BTreeIndex final : public Index {
 public:
  DbResult<void> insert(PropertyValue value, const Uuid& node_id) override;
  DbResult<void> remove(const PropertyValue& value, const Uuid& node_id) override;
  DbResult<std::vector<Uuid>> query(const IndexQuery& query) const override;
  DbResult<void> clear() override;
  std::uint64_t len() const override { return map_.size(); }

 private:
  using Map = std::map<PropertyValue, std::vector<Uuid>, KeyLess>;
  static std::vector<Uuid> collect(Map::const_iterator from, Map::const_iterator to);

  Map map_;
};

}  // namespace zudizid::index
