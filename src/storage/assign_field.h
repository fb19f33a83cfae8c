// Storing a field reader's result into a record under construction; serves
// the MessagePack and the JSON record readers alike.
#pragma once

#include <expected>
#include <type_traits>
#include <utility>

namespace zudizid::records_internal {

// Moves the value of `result` into `target`, or passes the reader's error on
// (leaving `target` as it was).
template <class V, class R>
std::expected<void, typename std::remove_cvref_t<R>::error_type> assign(V& target, R&& result) {
  if (!result) return std::unexpected(result.error());
  target = std::move(*result);
  return {};
}

}  // namespace zudizid::records_internal
