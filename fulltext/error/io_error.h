// I/O errors of the engine: an operating-system error (errno) or an error
// built by the engine with a kind and a message. Held by shared reference so
// that errors can be copied cheaply while they travel up.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace fendral {

enum class IoErrorKind {
  NotFound,
  PermissionDenied,
  AlreadyExists,
  InvalidInput,
  InvalidData,
  UnexpectedEof,
  WriteZero,
  Interrupted,
  Other,
};

std::string_view io_error_kind_name(IoErrorKind kind);

class IoError {
 public:
  // An error carrying an errno value; its kind follows from the code.
  static IoError from_errno(int code);
  // An error built by the engine.
  static IoError custom(IoErrorKind kind, std::string message);

  IoErrorKind kind() const { return data_->kind; }
  int os_code() const { return data_->os_code; }  // 0 for custom errors
  const std::string& message() const { return data_->message; }

  // "No such file or directory (os error 2)" or the custom message.
  std::string display() const;
  // Os { code: 2, kind: NotFound, message: "..." } or
  // Custom { kind: InvalidData, error: "..." }.
  std::string debug() const;

 private:
  struct Data {
    IoErrorKind kind;
    int os_code;
    std::string message;
  };
  explicit IoError(std::shared_ptr<const Data> d) : data_(std::move(d)) {}
  std::shared_ptr<const Data> data_;
};

// Debug form of a text: in double quotes, with \" \\ \n \r \t \0 escaped and
// other control characters as \u{..}.
std::string debug_quote(std::string_view text);

}  // namespace fendral
