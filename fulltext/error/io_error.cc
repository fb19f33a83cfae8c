#include "fulltext/error/io_error.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstring>

namespace fendral {

std::string_view io_error_kind_name(IoErrorKind kind) {
  switch (kind) {
    case IoErrorKind::NotFound: return "NotFound";
    case IoErrorKind::PermissionDenied: return "PermissionDenied";
    case IoErrorKind::AlreadyExists: return "AlreadyExists";
    case IoErrorKind::InvalidInput: return "InvalidInput";
    case IoErrorKind::InvalidData: return "InvalidData";
    case IoErrorKind::UnexpectedEof: return "UnexpectedEof";
    case IoErrorKind::WriteZero: return "WriteZero";
    case IoErrorKind::Interrupted: return "Interrupted";
    case IoErrorKind::Other: return "Other";
  }
  return "Other";
}

static IoErrorKind kind_of_errno(int code) {
  switch (code) {
    case ENOENT: return IoErrorKind::NotFound;
    case EACCES:
    case EPERM: return IoErrorKind::PermissionDenied;
    case EEXIST: return IoErrorKind::AlreadyExists;
    case EINVAL: return IoErrorKind::InvalidInput;
    case EINTR: return IoErrorKind::Interrupted;
    default: return IoErrorKind::Other;
  }
}

IoError IoError::from_errno(int code) {
  char buf[256];
  const char* text = strerror_r(code, buf, sizeof buf);
  return IoError(std::make_shared<const Data>(Data{kind_of_errno(code), code, text}));
}

IoError IoError::custom(IoErrorKind kind, std::string message) {
  return IoError(std::make_shared<const Data>(Data{kind, 0, std::move(message)}));
}

std::string IoError::display() const {
  if (data_->os_code != 0) return fmt::format("{} (os error {})", data_->message, data_->os_code);
  return data_->message;
}

std::string IoError::debug() const {
  if (data_->os_code != 0) {
    return fmt::format("Os {{ code: {}, kind: {}, message: {} }}", data_->os_code,
                       io_error_kind_name(data_->kind), debug_quote(data_->message));
  }
  return fmt::format("Custom {{ kind: {}, error: {} }}", io_error_kind_name(data_->kind),
                     debug_quote(data_->message));
}

std::string debug_quote(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('"');
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          out += fmt::format("\\u{{{:x}}}", c);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace fendral
