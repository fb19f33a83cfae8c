// Transaction isolation levels and states.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace zudizid::transaction {

// ReadUncommitted behaves exactly as ReadCommitted everywhere.
enum class IsolationLevel : std::uint8_t {
  ReadUncommitted = 0,
  ReadCommitted = 1,
  RepeatableRead = 2,
  Serializable = 3,
};

// The printed form, as in log lines: "ReadCommitted".
std::string_view isolation_level_name(IsolationLevel level);

// The names accepted from Python: "read_uncommitted", "read_committed",
// "repeatable_read", "serializable". Anything else: nullopt.
std::optional<IsolationLevel> isolation_level_from_python(std::string_view name);

// Active -> Committed (successful commit) or RolledBack (failed commit,
// rollback, drop while active); no other transition.
enum class TransactionState : std::uint8_t { Active = 0, Committed = 1, RolledBack = 2 };

}  // namespace zudizid::transaction
