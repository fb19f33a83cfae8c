#pragma once

#include "lock_manager/lock_types.h"

namespace zudizid::lock_manager::testing {

inline NodeId node(int n) {
  common::Uuid::Bytes b{};
  b[15] = static_cast<std::uint8_t>(n);
  b[14] = static_cast<std::uint8_t>(n >> 8);
  return NodeId(b);
}

}  // namespace zudizid::lock_manager::testing
