// The text of a property value in a Utf8 export cell:
//   Null "null" · Bool "true"/"false" · Int decimal · Float the shortest
//   round-trip digits in plain positional notation (3, 0.1, 1e21 as 1 and
//   21 zeros, "NaN", "inf", "-inf", "-0") · String itself ·
//   Bytes "<bytes:N>" · Object and List "<complex>".
#pragma once

#include <string>

#include "storage/property_value.h"

namespace zudizid::arrow_export {

void append_property_text(std::string& out, const PropertyValue& value);

inline std::string property_text(const PropertyValue& value) {
  std::string out;
  append_property_text(out, value);
  return out;
}

}  // namespace zudizid::arrow_export
