#include "index/value_keys.h"

#include <fmt/format.h>

#include <bit>
#include <cmath>
#include <cstring>

namespace zudizid::index {

namespace {

enum Kind { kNull = 0, kBool, kInt, kFloat, kString, kBytes, kObject, kList };

int rank(const PropertyValue& v) {
  switch (v.v.index()) {
    case kNull: return 0;
    case kBool: return 1;
    case kInt:
    case kFloat: return 2;
    case kString: return 3;
    case kBytes: return 4;
    case kList: return 5;
    case kObject: return 6;
  }
  return 7;
}

template <class T>
int three_way(const T& a, const T& b) {
  return a < b ? -1 : (b < a ? 1 : 0);
}

int bytes_cmp(const void* a, std::size_t na, const void* b, std::size_t nb) {
  const std::size_t n = std::min(na, nb);
  int c = n == 0 ? 0 : std::memcmp(a, b, n);  // data() of an empty vector may be null
  if (c != 0) return c < 0 ? -1 : 1;
  return three_way(na, nb);
}

// Exact comparison of an integer with a double that is not NaN.
int int_vs_float(std::int64_t i, double d) {
  if (d >= 9223372036854775808.0) return -1;
  if (d < -9223372036854775808.0) return 1;
  const double t = std::trunc(d);
  const auto ti = static_cast<std::int64_t>(t);
  if (i != ti) return three_way(i, ti);
  return d > t ? -1 : (d < t ? 1 : 0);
}

int float_cmp(double a, double b) {
  const bool na = std::isnan(a), nb = std::isnan(b);
  if (na || nb) return three_way(na, nb);
  return three_way(a, b);  // -0.0 == 0.0
}

bool float_identical(double a, double b) { return a == b || (std::isnan(a) && std::isnan(b)); }

template <bool kNanIdentical>
bool equal_impl(const PropertyValue& a, const PropertyValue& b) {
  if (a.v.index() != b.v.index()) return false;
  switch (a.v.index()) {
    case kNull: return true;
    case kBool: return std::get<bool>(a.v) == std::get<bool>(b.v);
    case kInt: return std::get<std::int64_t>(a.v) == std::get<std::int64_t>(b.v);
    case kFloat: {
      double x = std::get<double>(a.v), y = std::get<double>(b.v);
      return kNanIdentical ? float_identical(x, y) : x == y;
    }
    case kString: return std::get<std::string>(a.v) == std::get<std::string>(b.v);
    case kBytes: return std::get<Bytes>(a.v) == std::get<Bytes>(b.v);
    case kObject: {
      const auto& x = std::get<PropertyObject>(a.v);
      const auto& y = std::get<PropertyObject>(b.v);
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (x[i].first != y[i].first || !equal_impl<kNanIdentical>(x[i].second, y[i].second)) {
          return false;
        }
      }
      return true;
    }
    case kList: {
      const auto& x = std::get<PropertyList>(a.v);
      const auto& y = std::get<PropertyList>(b.v);
      if (x.size() != y.size()) return false;
      for (std::size_t i = 0; i < x.size(); ++i) {
        if (!equal_impl<kNanIdentical>(x[i], y[i])) return false;
      }
      return true;
    }
  }
  return false;
}

std::uint64_t mix(std::uint64_t h, std::uint64_t x) {
  h ^= x + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
  h ^= h >> 31;
  h *= 0xbf58476d1ce4e5b9ULL;
  return h ^ (h >> 29);
}

std::uint64_t mix_bytes(std::uint64_t h, const void* data, std::size_t n) {
  const auto* p = static_cast<const unsigned char*>(data);
  std::uint64_t word = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::memcpy(&word, p + i, 8);
    h = mix(h, word);
  }
  word = 0;
  if (n > i) std::memcpy(&word, p + i, n - i);
  return mix(h, word ^ (static_cast<std::uint64_t>(n) << 56));
}

std::uint64_t hash_impl(std::uint64_t h, const PropertyValue& v) {
  h = mix(h, v.v.index());
  switch (v.v.index()) {
    case kNull: return h;
    case kBool: return mix(h, std::get<bool>(v.v));
    case kInt: return mix(h, static_cast<std::uint64_t>(std::get<std::int64_t>(v.v)));
    case kFloat: {
      double d = std::get<double>(v.v);
      if (std::isnan(d)) return mix(h, 0x7ff8000000000000ULL);  // every NaN alike
      if (d == 0.0) d = 0.0;                                       // -0.0 like 0.0
      return mix(h, std::bit_cast<std::uint64_t>(d));
    }
    case kString: {
      const auto& s = std::get<std::string>(v.v);
      return mix_bytes(h, s.data(), s.size());
    }
    case kBytes: {
      const auto& b = std::get<Bytes>(v.v);
      return mix_bytes(h, b.data(), b.size());
    }
    case kObject: {
      const auto& o = std::get<PropertyObject>(v.v);
      h = mix(h, o.size());
      for (const auto& [name, value] : o) {
        h = mix_bytes(h, name.data(), name.size());
        h = hash_impl(h, value);
      }
      return h;
    }
    case kList: {
      const auto& l = std::get<PropertyList>(v.v);
      h = mix(h, l.size());
      for (const auto& e : l) h = hash_impl(h, e);
      return h;
    }
  }
  return h;
}

}  // namespace

bool value_eq(const PropertyValue& a, const PropertyValue& b) { return equal_impl<false>(a, b); }
bool key_identical(const PropertyValue& a, const PropertyValue& b) {
  return equal_impl<true>(a, b);
}
std::size_t key_hash(const PropertyValue& v) { return hash_impl(0x2545f4914f6cdd1dULL, v); }

int exact_cmp(const PropertyValue& a, const PropertyValue& b) {
  const int ra = rank(a), rb = rank(b);
  if (ra != rb) return three_way(ra, rb);
  switch (a.v.index()) {
    case kNull: return 0;
    case kBool: return three_way(std::get<bool>(a.v), std::get<bool>(b.v));
    case kInt:
      if (b.v.index() == kInt) return three_way(std::get<std::int64_t>(a.v), std::get<std::int64_t>(b.v));
      if (std::isnan(std::get<double>(b.v))) return -1;
      return int_vs_float(std::get<std::int64_t>(a.v), std::get<double>(b.v));
    case kFloat:
      if (b.v.index() == kFloat) return float_cmp(std::get<double>(a.v), std::get<double>(b.v));
      if (std::isnan(std::get<double>(a.v))) return 1;
      return -int_vs_float(std::get<std::int64_t>(b.v), std::get<double>(a.v));
    case kString: {
      const auto& x = std::get<std::string>(a.v);
      const auto& y = std::get<std::string>(b.v);
      return bytes_cmp(x.data(), x.size(), y.data(), y.size());
    }
    case kBytes: {
      const auto& x = std::get<Bytes>(a.v);
      const auto& y = std::get<Bytes>(b.v);
      return bytes_cmp(x.data(), x.size(), y.data(), y.size());
    }
    case kList: {
      const auto& x = std::get<PropertyList>(a.v);
      const auto& y = std::get<PropertyList>(b.v);
      for (std::size_t i = 0; i < std::min(x.size(), y.size()); ++i) {
        if (int c = exact_cmp(x[i], y[i])) return c;
      }
      return three_way(x.size(), y.size());
    }
    case kObject: {
      const auto& x = std::get<PropertyObject>(a.v);
      const auto& y = std::get<PropertyObject>(b.v);
      for (std::size_t i = 0; i < std::min(x.size(), y.size()); ++i) {
        const auto& [na, va] = x[i];
        const auto& [nb, vb] = y[i];
        if (int c = bytes_cmp(na.data(), na.size(), nb.data(), nb.size())) return c;
        if (int c = exact_cmp(va, vb)) return c;
      }
      return three_way(x.size(), y.size());
    }
  }
  return 0;
}

const std::string* as_string(const PropertyValue& v) { return std::get_if<std::string>(&v.v); }

PropertyValue string_value(std::string s) { return PropertyValue(std::move(s)); }

std::string debug_text(const PropertyValue& v) {
  switch (v.v.index()) {
    case kNull: return "Null";
    case kBool: return fmt::format("Bool({})", std::get<bool>(v.v));
    case kInt: return fmt::format("Int({})", std::get<std::int64_t>(v.v));
    case kFloat: return fmt::format("Float({})", std::get<double>(v.v));
    case kString: return fmt::format("String(\"{}\")", std::get<std::string>(v.v));
    default: return "Value";
  }
}

}  // namespace zudizid::index
