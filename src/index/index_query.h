// The argument of every index query.
#pragma once

#include <string>
#include <variant>

#include "storage/property_value.h"

namespace zudizid::index {

struct IndexQuery {
  struct Equals { PropertyValue value; };
  struct GreaterThan { PropertyValue value; };
  struct GreaterThanOrEqual { PropertyValue value; };
  struct LessThan { PropertyValue value; };
  struct LessThanOrEqual { PropertyValue value; };
  struct Range { PropertyValue start, end; };  // both ends inclusive
  struct FullText { std::string text; };

  std::variant<Equals, GreaterThan, GreaterThanOrEqual, LessThan, LessThanOrEqual, Range, FullText>
      q;
};

}  // namespace zudizid::index
