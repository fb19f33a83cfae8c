// The engine's error values. Every fallible operation returns
// std::expected<T, FendralError> (or one of the narrower directory errors,
// which convert into FendralError). Errors own their data and become text
// only when displayed; the display texts are part of the interface.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>

#include "fulltext/error/io_error.h"

namespace fendral {

// Version of the engine that wrote a file (carried by every file footer).
struct Version {
  uint32_t major = 0;
  uint32_t minor = 0;
  uint32_t patch = 0;
  uint32_t index_format_version = 0;
  bool operator==(const Version&) const = default;
  std::string debug() const;
};

struct IndexIncompatibility {
  enum class Kind { FormatVersionMismatch, CompressionFormatMismatch };
  Kind kind = Kind::FormatVersionMismatch;
  Version library_version;
  Version index_version;
  std::string library_compression_format;
  std::string index_compression_format;

  static IndexIncompatibility format_version_mismatch(Version library, Version index);
  std::string display() const;
  std::string debug() const;
};

struct OpenDirectoryError {
  enum class Kind { DoesNotExist, NotADirectory, FailedToCreateTempDir, IoError };
  Kind kind;
  std::string path;
  std::optional<fendral::IoError> io_error;

  static OpenDirectoryError does_not_exist(std::string path) { return {Kind::DoesNotExist, std::move(path), {}}; }
  static OpenDirectoryError not_a_directory(std::string path) { return {Kind::NotADirectory, std::move(path), {}}; }
  static OpenDirectoryError io(fendral::IoError e, std::string path) { return {Kind::IoError, std::move(path), std::move(e)}; }
  std::string display() const;
  std::string debug() const;
};

struct OpenReadError {
  enum class Kind { FileDoesNotExist, IoError, IncompatibleIndex };
  Kind kind;
  std::string filepath;
  std::optional<fendral::IoError> io_error;
  std::optional<IndexIncompatibility> incompatibility;

  static OpenReadError file_does_not_exist(std::string path) { return {Kind::FileDoesNotExist, std::move(path), {}, {}}; }
  static OpenReadError io(fendral::IoError e, std::string path) { return {Kind::IoError, std::move(path), std::move(e), {}}; }
  static OpenReadError incompatible(IndexIncompatibility i) { return {Kind::IncompatibleIndex, {}, {}, std::move(i)}; }
  std::string debug() const;
};

struct OpenWriteError {
  enum class Kind { FileAlreadyExists, IoError };
  Kind kind;
  std::string filepath;
  std::optional<fendral::IoError> io_error;

  static OpenWriteError file_already_exists(std::string path) { return {Kind::FileAlreadyExists, std::move(path), {}}; }
  static OpenWriteError io(fendral::IoError e, std::string path) { return {Kind::IoError, std::move(path), std::move(e)}; }
  std::string debug() const;
};

struct DeleteError {
  enum class Kind { FileDoesNotExist, IoError };
  Kind kind;
  std::string filepath;
  std::optional<fendral::IoError> io_error;

  static DeleteError file_does_not_exist(std::string path) { return {Kind::FileDoesNotExist, std::move(path), {}}; }
  static DeleteError io(fendral::IoError e, std::string path) { return {Kind::IoError, std::move(path), std::move(e)}; }
  std::string debug() const;
};

struct LockError {
  enum class Kind { LockBusy, IoError };
  Kind kind;
  std::optional<fendral::IoError> io_error;

  static LockError busy() { return {Kind::LockBusy, {}}; }
  static LockError io(fendral::IoError e) { return {Kind::IoError, std::move(e)}; }
  std::string debug() const;
};

struct DataCorruption {
  std::optional<std::string> filepath;
  std::string comment;

  static DataCorruption comment_only(std::string c) { return {std::nullopt, std::move(c)}; }
  std::string display() const;
};

struct AggregationError {
  enum class Kind { InternalError, InvalidRequest, DateHistogramParseError, MemoryExceeded, BucketLimitExceeded };
  Kind kind;
  std::string text;          // payload of the first three kinds (debug form for the third)
  uint64_t limit = 0;
  uint64_t current = 0;
  std::string display() const;
};

// Kinds of stored values, in code order of the stored-document codec's names.
enum class StoredValueType {
  Null, String, U64, I64, F64, DateTime, Facet, Bytes, IpAddr, Bool, PreTokStr, Array, Object, JSONObject,
};
std::string_view stored_value_type_name(StoredValueType t);

struct DeserializeError {
  enum class Kind { UnsupportedType, TypeMismatch, CorruptedValue, Custom, UnsupportedVersion };
  Kind kind;
  StoredValueType expected = StoredValueType::Null;  // UnsupportedType uses this one
  StoredValueType actual = StoredValueType::Null;
  std::optional<fendral::IoError> io_error;
  std::string text;
  uint32_t version = 0;
  uint32_t max_version = 0;

  static DeserializeError corrupted(fendral::IoError e) { return {Kind::CorruptedValue, {}, {}, std::move(e), {}, 0, 0}; }
  static DeserializeError custom(std::string t) { return {Kind::Custom, {}, {}, {}, std::move(t), 0, 0}; }
  static DeserializeError type_mismatch(StoredValueType e, StoredValueType a) { return {Kind::TypeMismatch, e, a, {}, {}, 0, 0}; }
  std::string display() const;
};

// Byte counts as printed in aggregation errors: "999 B", "1.50 KB", ...
std::string format_byte_count(uint64_t bytes);

class FendralError {
 public:
  enum class Kind {
    AggregationError,
    OpenDirectoryError,
    OpenReadError,
    OpenWriteError,
    IndexAlreadyExists,
    LockFailure,
    IoError,
    DataCorruption,
    Poisoned,
    FieldNotFound,
    InvalidArgument,
    ErrorInThread,
    IndexBuilderMissingArgument,
    SchemaError,
    SystemError,
    IncompatibleIndex,
    InternalError,
    DeserializeError,
  };

  using Payload = std::variant<std::monostate, AggregationError, OpenDirectoryError, OpenReadError, OpenWriteError,
                               LockError, fendral::IoError, DataCorruption, IndexIncompatibility, DeserializeError,
                               std::string>;

  // Implicit conversions from the narrower errors.
  FendralError(fendral::IoError e) : kind_(Kind::IoError), payload_(std::move(e)) {}
  FendralError(OpenDirectoryError e) : kind_(Kind::OpenDirectoryError), payload_(std::move(e)) {}
  FendralError(OpenReadError e) : kind_(Kind::OpenReadError), payload_(std::move(e)) {}
  FendralError(OpenWriteError e) : kind_(Kind::OpenWriteError), payload_(std::move(e)) {}
  FendralError(DataCorruption e) : kind_(Kind::DataCorruption), payload_(std::move(e)) {}
  FendralError(DeserializeError e) : kind_(Kind::DeserializeError), payload_(std::move(e)) {}
  FendralError(AggregationError e) : kind_(Kind::AggregationError), payload_(std::move(e)) {}
  FendralError(IndexIncompatibility e) : kind_(Kind::IncompatibleIndex), payload_(std::move(e)) {}

  static FendralError lock_failure(LockError e, std::optional<std::string> message);
  static FendralError index_already_exists() { return FendralError(Kind::IndexAlreadyExists, std::monostate{}); }
  static FendralError poisoned() { return FendralError(Kind::Poisoned, std::monostate{}); }
  static FendralError field_not_found(std::string t) { return FendralError(Kind::FieldNotFound, std::move(t)); }
  static FendralError invalid_argument(std::string t) { return FendralError(Kind::InvalidArgument, std::move(t)); }
  static FendralError error_in_thread(std::string t) { return FendralError(Kind::ErrorInThread, std::move(t)); }
  static FendralError index_builder_missing_argument(std::string t) {
    return FendralError(Kind::IndexBuilderMissingArgument, std::move(t));
  }
  static FendralError schema_error(std::string t) { return FendralError(Kind::SchemaError, std::move(t)); }
  static FendralError system_error(std::string t) { return FendralError(Kind::SystemError, std::move(t)); }
  static FendralError internal_error(std::string t) { return FendralError(Kind::InternalError, std::move(t)); }
  static FendralError data_corruption(std::optional<std::string> path, std::string comment) {
    return FendralError(DataCorruption{std::move(path), std::move(comment)});
  }

  Kind kind() const { return kind_; }
  const Payload& payload() const { return payload_; }
  // The text payload of the text variants ("" otherwise).
  const std::string& text() const;
  // The lock-failure message, when present.
  const std::optional<std::string>& lock_message() const { return lock_message_; }

  std::string display() const;
  std::string debug() const;

 private:
  FendralError(Kind k, Payload p) : kind_(k), payload_(std::move(p)) {}
  Kind kind_;
  Payload payload_;
  std::optional<std::string> lock_message_;
};

template <typename T>
using Result = std::expected<T, FendralError>;

template <typename T>
using IoResult = std::expected<T, IoError>;

inline std::unexpected<FendralError> fail(FendralError e) { return std::unexpected(std::move(e)); }
inline std::unexpected<IoError> io_fail(IoErrorKind kind, std::string message) {
  return std::unexpected(IoError(kind, std::move(message)));
}

// A broken contract of a caller inside the engine (never caused by stored
// data). Thrown and caught inside the engine's entry points; tests check it.
struct ContractViolation : std::logic_error {
  using std::logic_error::logic_error;
};
[[noreturn]] void contract_violation(const std::string& message);

}  // namespace fendral
