// The database errors raised by the index layer.
#pragma once

#include <string>

#include "index/deps_stub.h"

namespace zudizid::index {

inline DbError index_error(std::string text) { return DbError::index(std::move(text)); }
inline DbError message_error(std::string text) { return DbError::message(std::move(text)); }
inline DbError serialization_error(std::string text) {
  return DbError::serialization(std::move(text));
}
inline std::string error_text(const DbError& e) { return e.display(); }

}  // namespace zudizid::index
