#include "fulltext/error/error.h"

#include <fmt/format.h>

namespace fendral {

std::string Version::debug() const {
  return fmt::format("Version {{ major: {}, minor: {}, patch: {}, index_format_version: {} }}", major, minor, patch,
                     index_format_version);
}

IndexIncompatibility IndexIncompatibility::format_version_mismatch(Version library, Version index) {
  IndexIncompatibility i;
  i.kind = Kind::FormatVersionMismatch;
  i.library_version = library;
  i.index_version = index;
  return i;
}

std::string IndexIncompatibility::display() const {
  if (kind == Kind::FormatVersionMismatch) {
    std::string err = fmt::format("Library version: {}, index version: {}", library_version.index_format_version,
                                  index_version.index_format_version);
    std::string advice = fmt::format(
        "Change fendral to a version compatible with index format {} (e.g. {}.{}.x) and rebuild your project.",
        index_version.index_format_version, index_version.major, index_version.minor);
    return fmt::format("{}. {}", err, advice);
  }
  std::string err = fmt::format("Library was compiled with {} compression, index was compressed with {}",
                                library_compression_format, index_compression_format);
  std::string advice = fmt::format("Change the feature flag to {} and rebuild the library", index_compression_format);
  return fmt::format("{}. {}", err, advice);
}

std::string IndexIncompatibility::debug() const {
  if (kind == Kind::FormatVersionMismatch) {
    return fmt::format("FormatVersionMismatch {{ library_version: {}, index_version: {} }}", library_version.debug(),
                       index_version.debug());
  }
  return fmt::format("CompressionFormatMismatch {{ library_compression_format: {}, index_compression_format: {} }}",
                     debug_quote(library_compression_format), debug_quote(index_compression_format));
}

std::string OpenDirectoryError::display() const {
  switch (kind) {
    case Kind::DoesNotExist: return fmt::format("Directory does not exist: '{}'.", path);
    case Kind::NotADirectory: return fmt::format("Path exists but is not a directory: '{}'.", path);
    case Kind::FailedToCreateTempDir:
      return fmt::format("Failed to create a temporary directory: '{}'.", io_error->display());
    case Kind::IoError:
      return fmt::format("IoError '{}' while create directory in: '{}'.", io_error->debug(), debug_quote(path));
  }
  return {};
}

std::string OpenDirectoryError::debug() const {
  switch (kind) {
    case Kind::DoesNotExist: return fmt::format("DoesNotExist({})", debug_quote(path));
    case Kind::NotADirectory: return fmt::format("NotADirectory({})", debug_quote(path));
    case Kind::FailedToCreateTempDir: return fmt::format("FailedToCreateTempDir({})", io_error->debug());
    case Kind::IoError:
      return fmt::format("IoError {{ io_error: {}, directory_path: {} }}", io_error->debug(), debug_quote(path));
  }
  return {};
}

std::string OpenReadError::debug() const {
  switch (kind) {
    case Kind::FileDoesNotExist: return fmt::format("FileDoesNotExist({})", debug_quote(filepath));
    case Kind::IoError:
      return fmt::format("IoError {{ io_error: {}, filepath: {} }}", io_error->debug(), debug_quote(filepath));
    case Kind::IncompatibleIndex: return fmt::format("IncompatibleIndex({})", incompatibility->debug());
  }
  return {};
}

std::string OpenWriteError::debug() const {
  if (kind == Kind::FileAlreadyExists) return fmt::format("FileAlreadyExists({})", debug_quote(filepath));
  return fmt::format("IoError {{ io_error: {}, filepath: {} }}", io_error->debug(), debug_quote(filepath));
}

std::string DeleteError::debug() const {
  if (kind == Kind::FileDoesNotExist) return fmt::format("FileDoesNotExist({})", debug_quote(filepath));
  return fmt::format("IoError {{ io_error: {}, filepath: {} }}", io_error->debug(), debug_quote(filepath));
}

std::string LockError::debug() const {
  if (kind == Kind::LockBusy) return "LockBusy";
  return fmt::format("IoError({})", io_error->debug());
}

std::string DataCorruption::display() const {
  std::string out = "Data corruption";
  if (filepath) out += fmt::format(" (in file `{}`)", debug_quote(*filepath));
  out += fmt::format(": {}.", comment);
  return out;
}

std::string format_byte_count(uint64_t bytes) {
  if (bytes < 1000) return fmt::format("{} B", bytes);
  static const struct {
    double base;
    const char* unit;
  } units[] = {{1e15, "PB"}, {1e12, "TB"}, {1e9, "GB"}, {1e6, "MB"}, {1e3, "KB"}};
  for (const auto& u : units) {
    if (static_cast<double>(bytes) >= u.base) return fmt::format("{:.2f} {}", static_cast<double>(bytes) / u.base, u.unit);
  }
  return fmt::format("{} B", bytes);
}

std::string AggregationError::display() const {
  switch (kind) {
    case Kind::InternalError: return fmt::format("InternalError: {}", text);
    case Kind::InvalidRequest: return fmt::format("InvalidRequest: {}", text);
    case Kind::DateHistogramParseError: return fmt::format("Date histogram parse error: {}", text);
    case Kind::MemoryExceeded:
      return fmt::format("Aborting aggregation because memory limit was exceeded. Limit: {}, Current: {}",
                         format_byte_count(limit), format_byte_count(current));
    case Kind::BucketLimitExceeded:
      return fmt::format("Aborting aggregation because bucket limit was exceeded. Limit: {}, Current: {}", limit,
                         current);
  }
  return {};
}

std::string_view stored_value_type_name(StoredValueType t) {
  static constexpr std::string_view names[] = {"Null",  "String", "U64",  "I64",       "F64",   "DateTime", "Facet",
                                               "Bytes", "IpAddr", "Bool", "PreTokStr", "Array", "Object",   "JSONObject"};
  return names[static_cast<int>(t)];
}

std::string DeserializeError::display() const {
  switch (kind) {
    case Kind::UnsupportedType:
      return fmt::format("Unsupported Type: {} cannot be deserialized from the given visitor",
                         stored_value_type_name(expected));
    case Kind::TypeMismatch:
      return fmt::format("Type Mismatch: Expected {} but found {}", stored_value_type_name(expected),
                         stored_value_type_name(actual));
    case Kind::CorruptedValue: return fmt::format("The value could not be read: {}", io_error->display());
    case Kind::Custom: return text;
    case Kind::UnsupportedVersion: return fmt::format("Version {}, Max version supported: {}", version, max_version);
  }
  return {};
}

FendralError FendralError::lock_failure(LockError e, std::optional<std::string> message) {
  FendralError err(Kind::LockFailure, std::move(e));
  err.lock_message_ = std::move(message);
  return err;
}

const std::string& FendralError::text() const {
  static const std::string empty;
  if (auto* s = std::get_if<std::string>(&payload_)) return *s;
  return empty;
}

static std::string optional_debug(const std::optional<std::string>& s) {
  return s ? fmt::format("Some({})", debug_quote(*s)) : std::string("None");
}

std::string FendralError::display() const {
  switch (kind_) {
    case Kind::AggregationError: return std::get<AggregationError>(payload_).display();
    case Kind::OpenDirectoryError:
      return fmt::format("Failed to open the directory: '{}'", std::get<OpenDirectoryError>(payload_).debug());
    case Kind::OpenReadError:
      return fmt::format("Failed to open file for read: '{}'", std::get<OpenReadError>(payload_).debug());
    case Kind::OpenWriteError:
      return fmt::format("Failed to open file for write: '{}'", std::get<OpenWriteError>(payload_).debug());
    case Kind::IndexAlreadyExists: return "Index already exists";
    case Kind::LockFailure:
      return fmt::format("Failed to acquire Lockfile: {}. {}", std::get<LockError>(payload_).debug(),
                         optional_debug(lock_message_));
    case Kind::IoError: return fmt::format("An IO error occurred: '{}'", std::get<fendral::IoError>(payload_).display());
    case Kind::DataCorruption: return fmt::format("Data corrupted: '{}'", std::get<DataCorruption>(payload_).display());
    case Kind::Poisoned: return "A thread holding the locked panicked and poisoned the lock";
    case Kind::FieldNotFound: return fmt::format("The field does not exist: '{}'", text());
    case Kind::InvalidArgument: return fmt::format("An invalid argument was passed: '{}'", text());
    case Kind::ErrorInThread: return fmt::format("An error occurred in a thread: '{}'", text());
    case Kind::IndexBuilderMissingArgument:
      return fmt::format("Missing required index builder argument when open/create index: '{}'", text());
    case Kind::SchemaError: return fmt::format("Schema error: '{}'", text());
    case Kind::SystemError: return fmt::format("System error.'{}'", text());
    case Kind::IncompatibleIndex: return std::get<IndexIncompatibility>(payload_).display();
    case Kind::InternalError: return fmt::format("Internal error: '{}'", text());
    case Kind::DeserializeError:
      return fmt::format("Deserialize error: {}", std::get<DeserializeError>(payload_).display());
  }
  return {};
}

std::string FendralError::debug() const {
  switch (kind_) {
    case Kind::AggregationError: return fmt::format("AggregationError({})", display());
    case Kind::OpenDirectoryError:
      return fmt::format("OpenDirectoryError({})", std::get<OpenDirectoryError>(payload_).debug());
    case Kind::OpenReadError: return fmt::format("OpenReadError({})", std::get<OpenReadError>(payload_).debug());
    case Kind::OpenWriteError: return fmt::format("OpenWriteError({})", std::get<OpenWriteError>(payload_).debug());
    case Kind::IndexAlreadyExists: return "IndexAlreadyExists";
    case Kind::LockFailure:
      return fmt::format("LockFailure({}, {})", std::get<LockError>(payload_).debug(), optional_debug(lock_message_));
    case Kind::IoError: return fmt::format("IoError({})", std::get<fendral::IoError>(payload_).debug());
    case Kind::DataCorruption: return fmt::format("DataCorruption({})", std::get<DataCorruption>(payload_).display());
    case Kind::Poisoned: return "Poisoned";
    case Kind::FieldNotFound: return fmt::format("FieldNotFound({})", debug_quote(text()));
    case Kind::InvalidArgument: return fmt::format("InvalidArgument({})", debug_quote(text()));
    case Kind::ErrorInThread: return fmt::format("ErrorInThread({})", debug_quote(text()));
    case Kind::IndexBuilderMissingArgument:
      return fmt::format("IndexBuilderMissingArgument({})", debug_quote(text()));
    case Kind::SchemaError: return fmt::format("SchemaError({})", debug_quote(text()));
    case Kind::SystemError: return fmt::format("SystemError({})", debug_quote(text()));
    case Kind::IncompatibleIndex:
      return fmt::format("IncompatibleIndex({})", std::get<IndexIncompatibility>(payload_).debug());
    case Kind::InternalError: return fmt::format("InternalError({})", debug_quote(text()));
    case Kind::DeserializeError: return fmt::format("DeserializeError({})", std::get<DeserializeError>(payload_).display());
  }
  return {};
}

void contract_violation(const std::string& message) { throw ContractViolation(message); }

}  // namespace fendral
