#pragma once

#include "lock_manager/lock_types.h"

namespace zudizid::lock_manager::testing {

inline NodeId node(int n) {
  NodeId id;
  id.bytes[15] = static_cast<std::uint8_t>(n);
  id.bytes[14] = static_cast<std::uint8_t>(n >> 8);
  return id;
}

}  // namespace zudizid::lock_manager::testing
