#include "arrow_export/property_text.h"

#include <fmt/format.h>

#include "common/float_text.h"

namespace zudizid::arrow_export {

void append_property_text(std::string& out, const PropertyValue& value) {
  using Kind = PropertyValue::Kind;
  switch (value.kind()) {
    case Kind::Null: out += "null"; return;
    case Kind::Bool: out += value.as_bool() ? "true" : "false"; return;
    case Kind::Int: fmt::format_to(std::back_inserter(out), "{}", value.as_int()); return;
    case Kind::Float: common::append_float_display(out, value.as_float()); return;
    case Kind::String: out += value.as_string(); return;
    case Kind::Bytes: fmt::format_to(std::back_inserter(out), "<bytes:{}>", value.as_bytes().size()); return;
    case Kind::Object:
    case Kind::List: out += "<complex>"; return;
  }
}

}  // namespace zudizid::arrow_export
