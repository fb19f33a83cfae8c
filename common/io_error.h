// The platform input/output error, carried unchanged by every engine.
//
// An error either comes from the operating system (an errno value, whose
// kind and message derive from it) or is made by our code with a kind and a
// message. Display text: the OS message followed by " (os error N)", or the
// message alone. Debug text names the form:
//   Os { code: 2, kind: NotFound, message: "No such file or directory" }
//   Custom { kind: Other, error: "short read" }
#pragma once

#include <string>
#include <string_view>

namespace zudizid::common {

enum class IoErrorKind {
  NotFound,
  PermissionDenied,
  AlreadyExists,
  WouldBlock,
  InvalidInput,
  InvalidData,
  TimedOut,
  WriteZero,
  Interrupted,
  Unsupported,
  UnexpectedEof,
  OutOfMemory,
  StorageFull,
  DirectoryNotEmpty,
  NotADirectory,
  IsADirectory,
  Other,
};

std::string_view io_error_kind_name(IoErrorKind kind);
IoErrorKind io_error_kind_from_errno(int code);

class IoError {
 public:
  // From errno.
  static IoError from_os(int code);
  // Made by our code.
  IoError(IoErrorKind kind, std::string message) : kind_(kind), os_code_(0), message_(std::move(message)) {}

  IoErrorKind kind() const { return kind_; }
  // The errno value, or 0 when the error was not raised by the OS.
  int os_code() const { return os_code_; }

  std::string display() const;
  std::string debug() const;

 private:
  IoError(IoErrorKind kind, int code) : kind_(kind), os_code_(code) {}
  IoErrorKind kind_;
  int os_code_;
  std::string message_;  // custom errors only
};

// errno of the last failed call, as an IoError.
IoError last_os_error();

std::string debug_quote(std::string_view text);  // "text" with escapes, as debug forms print strings

}  // namespace zudizid::common
