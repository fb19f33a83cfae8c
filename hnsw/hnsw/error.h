// Errors of the vector index. Operations return std::expected<T, Error>; the
// message is the text shown to the caller, unchanged on its way up.
#pragma once

#include <expected>
#include <string>

namespace vantor {

enum class ErrorCode {
  InvalidConfig,   // a construction parameter the index cannot work with
  InvalidVector,   // wrong length, non-finite or out-of-domain component
  DistanceFailed,  // a distance gave a negative or NaN value, or cannot be evaluated
  CapacityExceeded,
  Io,       // a file could not be opened, read or written
  BadDump,  // a dump file that does not hold what its format requires
};

struct Error {
  ErrorCode code;
  std::string message;
};

template <class T>
using Result = std::expected<T, Error>;

inline std::unexpected<Error> make_error(ErrorCode code, std::string message) {
  return std::unexpected(Error{code, std::move(message)});
}

}  // namespace vantor
