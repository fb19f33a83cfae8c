#include "common/io_error.h"

#include <fmt/format.h>

#include <cerrno>
#include <cstring>

namespace zudizid::common {

std::string_view io_error_kind_name(IoErrorKind kind) {
  switch (kind) {
    case IoErrorKind::NotFound: return "NotFound";
    case IoErrorKind::PermissionDenied: return "PermissionDenied";
    case IoErrorKind::AlreadyExists: return "AlreadyExists";
    case IoErrorKind::WouldBlock: return "WouldBlock";
    case IoErrorKind::InvalidInput: return "InvalidInput";
    case IoErrorKind::InvalidData: return "InvalidData";
    case IoErrorKind::TimedOut: return "TimedOut";
    case IoErrorKind::WriteZero: return "WriteZero";
    case IoErrorKind::Interrupted: return "Interrupted";
    case IoErrorKind::Unsupported: return "Unsupported";
    case IoErrorKind::UnexpectedEof: return "UnexpectedEof";
    case IoErrorKind::OutOfMemory: return "OutOfMemory";
    case IoErrorKind::StorageFull: return "StorageFull";
    case IoErrorKind::DirectoryNotEmpty: return "DirectoryNotEmpty";
    case IoErrorKind::NotADirectory: return "NotADirectory";
    case IoErrorKind::IsADirectory: return "IsADirectory";
    case IoErrorKind::Other: return "Other";
  }
  return "Other";
}

IoErrorKind io_error_kind_from_errno(int code) {
  switch (code) {
    case ENOENT: return IoErrorKind::NotFound;
    case EACCES:
    case EPERM: return IoErrorKind::PermissionDenied;
    case EEXIST: return IoErrorKind::AlreadyExists;
    case EWOULDBLOCK: return IoErrorKind::WouldBlock;
    case EINVAL: return IoErrorKind::InvalidInput;
    case ETIMEDOUT: return IoErrorKind::TimedOut;
    case EINTR: return IoErrorKind::Interrupted;
    case ENOSYS:
    case EOPNOTSUPP: return IoErrorKind::Unsupported;
    case ENOMEM: return IoErrorKind::OutOfMemory;
    case ENOSPC:
    case EDQUOT: return IoErrorKind::StorageFull;
    case ENOTEMPTY: return IoErrorKind::DirectoryNotEmpty;
    case ENOTDIR: return IoErrorKind::NotADirectory;
    case EISDIR: return IoErrorKind::IsADirectory;
    default: return IoErrorKind::Other;
  }
}

IoError IoError::from_os(int code) { return IoError(io_error_kind_from_errno(code), code); }

IoError last_os_error() { return IoError::from_os(errno); }

static std::string os_message(int code) {
  char buf[256];
  // GNU strerror_r returns the message pointer (possibly not buf).
  const char* msg = strerror_r(code, buf, sizeof buf);
  return msg;
}

std::string IoError::display() const {
  if (os_code_ != 0) return fmt::format("{} (os error {})", os_message(os_code_), os_code_);
  return message_;
}

std::string IoError::debug() const {
  if (os_code_ != 0)
    return fmt::format("Os {{ code: {}, kind: {}, message: {} }}", os_code_, io_error_kind_name(kind_),
                       debug_quote(os_message(os_code_)));
  return fmt::format("Custom {{ kind: {}, error: {} }}", io_error_kind_name(kind_), debug_quote(message_));
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
        if (c < 0x20 || c == 0x7F)
          out += fmt::format("\\u{{{:x}}}", c);
        else
          out.push_back(static_cast<char>(c));
    }
  }
  out.push_back('"');
  return out;
}

}  // namespace zudizid::common
