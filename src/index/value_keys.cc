#include "index/value_keys.h"

#include <cmath>

namespace zudizid::index {

bool key_identical(const PropertyValue& a, const PropertyValue& b) {
  using Kind = PropertyValue::Kind;
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case Kind::Float: {
      const double x = a.as_float(), y = b.as_float();
      return x == y || (std::isnan(x) && std::isnan(y));
    }
    case Kind::Object: {
      const auto& x = a.as_object();
      const auto& y = b.as_object();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (x[i].first != y[i].first || !key_identical(x[i].second, y[i].second)) return false;
      }
      return true;
    }
    case Kind::List: {
      const auto& x = a.as_list();
      const auto& y = b.as_list();
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (!key_identical(x[i], y[i])) return false;
      }
      return true;
    }
    default:
      return a.eq(b);
  }
}

}  // namespace zudizid::index
