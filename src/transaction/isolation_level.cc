#include "transaction/isolation_level.h"

namespace zudizid::transaction {

std::string_view isolation_level_name(IsolationLevel level) {
  switch (level) {
    case IsolationLevel::ReadUncommitted: return "ReadUncommitted";
    case IsolationLevel::ReadCommitted: return "ReadCommitted";
    case IsolationLevel::RepeatableRead: return "RepeatableRead";
    case IsolationLevel::Serializable: return "Serializable";
  }
  return "ReadCommitted";
}

std::optional<IsolationLevel> isolation_level_from_python(std::string_view name) {
  if (name == "read_uncommitted") return IsolationLevel::ReadUncommitted;
  if (name == "read_committed") return IsolationLevel::ReadCommitted;
  if (name == "repeatable_read") return IsolationLevel::RepeatableRead;
  if (name == "serializable") return IsolationLevel::Serializable;
  return std::nullopt;
}

}  // namespace zudizid::transaction
