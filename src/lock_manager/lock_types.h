// Identifiers and modes of node locks.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace zudizid::lock_manager {

// Transaction ids come from the graph's `next_tx_id` clock.
using TxId = std::uint64_t;

// TEMPORARY stand-in for the shared UUID type until it lands.
struct NodeId {
  std::array<std::uint8_t, 16> bytes{};
  friend bool operator==(const NodeId&, const NodeId&) = default;
  std::string to_string() const {
    std::string s;
    static const char* hex = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
      if (i == 4 || i == 6 || i == 8 || i == 10) s.push_back('-');
      s.push_back(hex[bytes[i] >> 4]);
      s.push_back(hex[bytes[i] & 15]);
    }
    return s;
  }
};

// Two modes are compatible only when both are Read.
enum class LockMode : std::uint8_t { Read = 0, Write = 1 };

inline std::string_view lock_mode_name(LockMode mode) {
  return mode == LockMode::Read ? "Read" : "Write";
}

}  // namespace zudizid::lock_manager

template <>
struct std::hash<zudizid::lock_manager::NodeId> {
  std::size_t operator()(const zudizid::lock_manager::NodeId& id) const noexcept {
    std::uint64_t a, b;
    __builtin_memcpy(&a, id.bytes.data(), 8);
    __builtin_memcpy(&b, id.bytes.data() + 8, 8);
    return std::hash<std::uint64_t>()(a ^ (b * 0x9e3779b97f4a7c15ULL));
  }
};
