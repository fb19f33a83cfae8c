// TEMPORARY stand-ins until the shared record types land.
#pragma once
#include <array>
#include <cmath>
#include <compare>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace zudizid {
struct Uuid {
  std::array<std::uint8_t, 16> bytes{};
  friend bool operator==(const Uuid&, const Uuid&) = default;
  friend auto operator<=>(const Uuid&, const Uuid&) = default;
  std::string to_string() const {
    static const char* hx = "0123456789abcdef";
    std::string s;
    for (int i = 0; i < 16; ++i) {
      if (i == 4 || i == 6 || i == 8 || i == 10) s += '-';
      s += hx[bytes[i] >> 4];
      s += hx[bytes[i] & 15];
    }
    return s;
  }
};
struct DbError {
  enum class Kind { Index, Message, Serialization, Other } kind = Kind::Message;
  std::string text;
  static DbError message(std::string t) { return DbError{Kind::Message, std::move(t)}; }
  static DbError index(std::string t) { return DbError{Kind::Index, std::move(t)}; }
  static DbError serialization(std::string t) { return DbError{Kind::Serialization, std::move(t)}; }
  std::string display() const {
    switch (kind) {
      case Kind::Index: return "Index error: " + text;
      case Kind::Serialization: return "Serialization error: " + text;
      default: return text;
    }
  }
};

struct PropertyValue;
using PropertyObject = std::vector<std::pair<std::string, PropertyValue>>;
using PropertyList = std::vector<PropertyValue>;
using Bytes = std::vector<std::uint8_t>;
struct PropertyValue {
  std::variant<std::monostate, bool, std::int64_t, double, std::string, Bytes, PropertyObject,
               PropertyList>
      v;
  PropertyValue() = default;
  template <class T>
  PropertyValue(T&& x) : v(std::forward<T>(x)) {}
  PropertyValue(const char* s) : v(std::string(s)) {}
  PropertyValue(int i) : v(std::int64_t{i}) {}
  PropertyValue(const PropertyValue&) = default;
  PropertyValue(PropertyValue&) = default;
  PropertyValue(PropertyValue&&) = default;
  PropertyValue& operator=(const PropertyValue&) = default;
  PropertyValue& operator=(PropertyValue&&) = default;
};

using PropertyMap = std::unordered_map<std::string, PropertyValue>;
enum class NodeKind { Individual, Class, ObjectProperty, DataProperty, Restriction, AnnotationProperty };
struct Node {
  Uuid id;
  std::string label;
  PropertyMap properties;
  NodeKind kind = NodeKind::Individual;
};
struct Edge {
  Uuid id, source, target;
  std::string edge_type;
  PropertyMap properties;
};
}  // namespace zudizid
template <>
struct std::hash<zudizid::Uuid> {
  std::size_t operator()(const zudizid::Uuid& u) const noexcept {
    std::uint64_t a, b;
    std::memcpy(&a, u.bytes.data(), 8);
    std::memcpy(&b, u.bytes.data() + 8, 8);
    return std::hash<std::uint64_t>{}(a ^ (b * 0x9e3779b97f4a7c15ULL));
  }
};
