// FutureResult: the receiving side of a one-shot reply from background work.
// It holds an error already known, or the receiver of a one-shot channel and
// a failure message used when the sending side disappears without sending.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "common/oneshot.h"
#include "fulltext/error/error.h"

namespace fendral {

template <class T>
class FutureResult {
 public:
  using Channel = zudizid::common::OneShot<Result<T>>;
  using Sender = typename Channel::Sender;

  static std::pair<Sender, FutureResult> create(std::string failure_message) {
    auto [tx, rx] = Channel::make();
    FutureResult f;
    f.receiver_ = std::move(rx);
    f.failure_message_ = std::move(failure_message);
    return {std::move(tx), std::move(f)};
  }
  static FutureResult from_error(FendralError e) {
    FutureResult f;
    f.error_.emplace(std::move(e));
    return f;
  }

  // Blocks until the reply arrives. A vanished sender gives SystemError with
  // the failure message.
  Result<T> wait() {
    if (error_) return std::unexpected(std::move(*error_));
    auto reply = receiver_.wait();
    if (!reply) return std::unexpected(FendralError::system_error(failure_message_));
    return std::move(*reply);
  }

 private:
  FutureResult() = default;
  std::optional<FendralError> error_;
  typename Channel::Receiver receiver_;
  std::string failure_message_;
};

}  // namespace fendral
