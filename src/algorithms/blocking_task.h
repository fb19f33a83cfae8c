// Runs one computation as a task of the runtime's blocking pool while the
// caller waits for it.
//
// A computation that throws, or a task dropped before it finishes, is a
// failed join: the result is DbError::Message with `join_message` (one "{}")
// filled in with the failure's text, "task panicked: <what>" or
// "task was cancelled". Nothing the computation throws reaches the caller.
#pragma once

#include <fmt/format.h>

#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "common/oneshot.h"
#include "common/runtime.h"
#include "storage/db_error.h"

namespace zudizid::algorithms {

template <class T>
DbResult<T> run_blocking(std::string_view join_message, std::function<T()> compute) {
  auto [tx, rx] = common::OneShot<T>::make();
  struct Task {
    typename common::OneShot<T>::Sender sender;
    std::function<T()> compute;
    std::string failure;
  };
  auto task = std::make_shared<Task>(Task{std::move(tx), std::move(compute), {}});
  common::Runtime::get().spawn_blocking([task] {
    try {
      task->sender.send(task->compute());
    } catch (const std::exception& e) {
      task->failure = fmt::format("task panicked: {}", e.what());
    } catch (...) {
      task->failure = "task panicked";
    }
    task->compute = nullptr;
    // Whatever happened, the sender goes now, so the waiter never hangs.
    task->sender = typename common::OneShot<T>::Sender();
  });
  std::optional<T> value = rx.wait();
  if (!value) {
    std::string why = task->failure.empty() ? "task was cancelled" : task->failure;
    return std::unexpected(DbError::message(fmt::format(fmt::runtime(join_message), why)));
  }
  return std::move(*value);
}

}  // namespace zudizid::algorithms
