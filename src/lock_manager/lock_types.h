// Identifiers and modes of node locks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/uuid.h"

namespace zudizid::lock_manager {

// Transaction ids come from the graph's `next_tx_id` clock.
using TxId = std::uint64_t;

using NodeId = common::Uuid;

// Two modes are compatible only when both are Read.
enum class LockMode : std::uint8_t { Read = 0, Write = 1 };

inline std::string_view lock_mode_name(LockMode mode) {
  return mode == LockMode::Read ? "Read" : "Write";
}

}  // namespace zudizid::lock_manager
