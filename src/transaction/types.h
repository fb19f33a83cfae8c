// The record, id and error types the transaction layer works with.
#pragma once

#include <expected>
#include <string>
#include <string_view>

#include "common/uuid.h"
#include "lock_manager/lock_types.h"
#include "storage/db_error.h"
#include "storage/node.h"
#include "storage/property_value.h"

namespace zudizid::transaction {

using NodeId = common::Uuid;
using EdgeId = common::Uuid;
using zudizid::Edge;
using zudizid::Node;
using zudizid::PropertyValue;

inline DbError transaction_not_active() { return DbError::transaction_not_active(); }
inline DbError transaction_conflict(std::string text) { return DbError::transaction_conflict(std::move(text)); }
inline DbError node_not_found(const NodeId& id) { return DbError::node_not_found(id.to_string()); }
inline std::string error_text(const DbError& e) { return e.display(); }

inline const PropertyValue* find_property(const Node& node, std::string_view name) {
  auto it = node.properties.find(std::string(name));
  return it == node.properties.end() ? nullptr : &it->second;
}

}  // namespace zudizid::transaction
