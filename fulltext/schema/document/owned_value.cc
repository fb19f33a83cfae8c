#include <cstring>
#include <map>

#include "fulltext/common/datetime.h"
#include "fulltext/schema/document/owned_value.h"

namespace fendral::schema {

namespace json = zudizid::common::json;

bool OwnedValue::operator==(const OwnedValue& o) const {
  if (v.index() != o.v.index()) return false;
  if (auto* d = std::get_if<double>(&v)) {
    // Bit patterns, so that NaN and -0.0 compare as stored.
    return std::memcmp(d, &std::get<double>(o.v), sizeof(double)) == 0;
  }
  return v == o.v;
}

OwnedValue OwnedValue::from_json(const json::Value& value) {
  switch (value.type()) {
    case json::Value::Type::Null: return OwnedValue();
    case json::Value::Type::Bool: return OwnedValue(value.as_bool());
    case json::Value::Type::Int: return OwnedValue(value.as_int());
    case json::Value::Type::UInt: {
      uint64_t u = value.as_uint();
      if (u <= static_cast<uint64_t>(INT64_MAX)) return OwnedValue(static_cast<int64_t>(u));
      return OwnedValue(u);
    }
    case json::Value::Type::Float: return OwnedValue(value.as_float());
    case json::Value::Type::String: {
      const std::string& s = value.as_string();
      if (!s.empty() && s[0] >= '0' && s[0] <= '9') {
        if (auto nanos = parse_rfc3339(s)) return OwnedValue(DateValue{*nanos});
      }
      return OwnedValue(s);
    }
    case json::Value::Type::Array: {
      OwnedArray out;
      for (const auto& e : value.as_array()) out.push_back(from_json(e));
      return OwnedValue(std::move(out));
    }
    case json::Value::Type::Object: {
      std::map<std::string, const json::Value*> sorted;
      for (const auto& [k, val] : value.as_object()) sorted[k] = &val;
      OwnedObject out;
      for (const auto& [k, val] : sorted) out.emplace_back(k, from_json(*val));
      return OwnedValue(std::move(out));
    }
  }
  return OwnedValue();
}

}  // namespace fendral::schema
