// Cursor<T>: a forward, pull-style stream of records read from the store.
//
//   auto nodes = graph.nodes();
//   while (auto next = nodes.next()) {
//     if (!*next) return std::unexpected(next->error());  // the stream ends here
//     use(**next);
//   }
//
// Rules:
// - next() yields a record, an error, or nothing at the end. After an error
//   or the end every later call yields nothing.
// - A cursor reads lazily: one record is decoded per next(), so memory stays
//   flat however many records the stream covers. It holds no lock between
//   calls; writes that land while it runs may or may not be seen, but each
//   record it yields is one whole stored record.
// - Cursors are movable, not copyable, and may outlive the graph handle that
//   made them only as long as the store they read stays open (they keep
//   their own reference to it).
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "storage/db_error.h"

namespace zudizid::storage {

template <class T>
class Cursor {
 public:
  // `step` produces the next item (as next() does); it is not called again
  // once it has yielded an error or nothing.
  using Step = std::move_only_function<std::optional<DbResult<T>>()>;

  Cursor() = default;
  explicit Cursor(Step step) : step_(std::move(step)) {}
  Cursor(Cursor&&) noexcept = default;
  Cursor& operator=(Cursor&&) noexcept = default;
  Cursor(const Cursor&) = delete;
  Cursor& operator=(const Cursor&) = delete;

  // A cursor over items already in hand.
  static Cursor of(std::vector<T> items) {
    return Cursor([items = std::move(items), i = size_t{0}]() mutable -> std::optional<DbResult<T>> {
      if (i == items.size()) return std::nullopt;
      return DbResult<T>(std::move(items[i++]));
    });
  }

  // A cursor whose only item is `error`.
  static Cursor failed(DbError error) {
    return Cursor([error = std::optional<DbError>(std::move(error))]() mutable -> std::optional<DbResult<T>> {
      return DbResult<T>(std::unexpected(std::move(*error)));
    });
  }

  std::optional<DbResult<T>> next() {
    if (!step_) return std::nullopt;
    auto item = step_();
    if (!item || !*item) step_ = nullptr;
    return item;
  }

  // Drains the cursor into a vector; the first error is the result.
  DbResult<std::vector<T>> collect() {
    std::vector<T> out;
    while (auto item = next()) {
      if (!*item) return std::unexpected(std::move(item->error()));
      out.push_back(std::move(**item));
    }
    return out;
  }

  // Counts what is left; the first error is the result.
  DbResult<uint64_t> count() {
    uint64_t n = 0;
    while (auto item = next()) {
      if (!*item) return std::unexpected(std::move(item->error()));
      ++n;
    }
    return n;
  }

 private:
  Step step_;
};

}  // namespace zudizid::storage
