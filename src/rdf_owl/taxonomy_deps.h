// TEMPORARY stand-ins until the shared record types land.
#pragma once
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>

namespace zudizid {
struct Uuid {
  std::array<std::uint8_t, 16> bytes{};
  friend bool operator==(const Uuid&, const Uuid&) = default;
  friend auto operator<=>(const Uuid&, const Uuid&) = default;
};
struct DbError {
  std::string text;
  static DbError message(std::string t) { return DbError{std::move(t)}; }
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
