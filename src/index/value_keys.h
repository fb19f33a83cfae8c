// How the hash and B-tree indexes key PropertyValues.
//
// Hash index keys use "key identity": PropertyValue equality, except that a
// Float NaN is identical to every Float NaN (at any depth). Equality alone
// would make every NaN key unreachable -- never found, never removed -- so
// the index stores them under one identity and only lookups apply equality
// (a NaN key is still never *found* by a query). -0.0 and 0.0 are equal and
// hash alike.
#pragma once

#include <cstddef>
#include <string>

#include "index/deps_stub.h"

namespace zudizid::index {

// PropertyValue equality (same kind, Float by IEEE equality).
bool value_eq(const PropertyValue& a, const PropertyValue& b);

// Key identity (see above) and a hash consistent with it.
bool key_identical(const PropertyValue& a, const PropertyValue& b);
std::size_t key_hash(const PropertyValue& v);

struct KeyHash {
  std::size_t operator()(const PropertyValue& v) const { return key_hash(v); }
};
struct KeyIdentical {
  bool operator()(const PropertyValue& a, const PropertyValue& b) const {
    return key_identical(a, b);
  }
};

// The B-tree's strict weak order: PropertyValue's order across kinds with
// Int and Float compared exactly (no rounding of large integers) and NaN
// above every number.
int exact_cmp(const PropertyValue& a, const PropertyValue& b);
struct ExactLess {
  bool operator()(const PropertyValue& a, const PropertyValue& b) const {
    return exact_cmp(a, b) < 0;
  }
};

const std::string* as_string(const PropertyValue& v);
PropertyValue string_value(std::string s);
std::string debug_text(const PropertyValue& v);

}  // namespace zudizid::index
