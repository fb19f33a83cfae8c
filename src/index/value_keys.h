// How the hash and B-tree indexes key PropertyValues.
//
// Hash index keys use "key identity": PropertyValue equality, except that a
// Float NaN is identical to every Float NaN (at any depth). Equality alone
// would make every NaN key unreachable -- never found, never removed -- so
// the index stores them under one identity and only lookups apply equality
// (a NaN key is still never *found* by a query). PropertyValue's hash
// already treats -0.0 as 0.0 and every NaN alike, so it serves this identity.
//
// B-tree keys use PropertyValue's strict weak order (`total_less`): the value
// order across kinds with numbers compared exactly and NaN above every number.
#pragma once

#include <algorithm>
#include <string>

#include "common/uuid.h"
#include "storage/property_value.h"

namespace zudizid::index {

bool key_identical(const PropertyValue& a, const PropertyValue& b);

using KeyHash = PropertyValueHash;
struct KeyIdentical {
  bool operator()(const PropertyValue& a, const PropertyValue& b) const {
    return key_identical(a, b);
  }
};

using KeyLess = PropertyValueLess;

// The class name carried by a String value; null for other kinds.
inline const std::string* as_string(const PropertyValue& v) {
  return v.kind() == PropertyValue::Kind::String ? &v.as_string() : nullptr;
}

// Takes every copy of `id` out of the id list stored under `value`. A key left
// without ids goes, so no key is ever stored with an empty list.
template <class Map>
void remove_id(Map& map, const PropertyValue& value, const common::Uuid& id) {
  auto it = map.find(value);
  if (it == map.end()) return;
  auto& ids = it->second;
  ids.erase(std::remove(ids.begin(), ids.end(), id), ids.end());
  if (ids.empty()) map.erase(it);
}

}  // namespace zudizid::index
