// Hash index: equality lookups only.
//
// Keys are matched by PropertyValue equality, so Int 1 and Float 1.0 are
// different keys and -0.0 finds 0.0. A Float NaN equals nothing: queries
// never find a NaN key, but all NaN keys share one stored identity so that
// removing (NaN, id) takes the id out again (see value_keys.h).
// Each key's id list keeps insertion order, may repeat an id, and is never
// empty while the key exists.
#pragma once

#include <unordered_map>
#include <vector>

#include "index/index.h"
#include "index/value_keys.h"

namespace zudizid::index {

class HashIndex final : public Index {
 public:
  DbResult<void> insert(PropertyValue value, const Uuid& node_id) override;
  DbResult<void> remove(const PropertyValue& value, const Uuid& node_id) override;
  DbResult<std::vector<Uuid>> query(const IndexQuery& query) const override;
  DbResult<void> clear() override;
  // Distinct keys, not ids.
  std::uint64_t len() const override { return map_.size(); }

 private:
  std::unordered_map<PropertyValue, std::vector<Uuid>, KeyHash, KeyIdentical> map_;
};

}  // namespace zudizid::index
