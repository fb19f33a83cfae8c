// Errors of the FST builder and reader.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "fulltext/error/io_error.h"

namespace fendral::fst {

struct Error {
  enum class Kind { VersionMismatch, BadFormat, DuplicateKey, OutOfOrderKey, TypeMismatch, InvalidUtf8, Corrupt, Io };
  Kind kind;
  uint64_t expected = 0;
  uint64_t got = 0;
  std::vector<uint8_t> key;
  std::vector<uint8_t> previous;
  std::string detail;                     // Corrupt: what was wrong
  std::optional<fendral::IoError> io;     // Io

  explicit Error(Kind k) : kind(k) {}
  static Error bad_format() { return Error(Kind::BadFormat); }
  static Error version_mismatch(uint64_t expected, uint64_t got) {
    Error e(Kind::VersionMismatch);
    e.expected = expected;
    e.got = got;
    return e;
  }
  static Error corrupt(std::string detail) {
    Error e(Kind::Corrupt);
    e.detail = std::move(detail);
    return e;
  }
  static Error from_io(fendral::IoError e) {
    Error err(Kind::Io);
    err.io = std::move(e);
    return err;
  }
  std::string display() const;
};

// Keys as text when valid UTF-8, else "[255, 1]".
std::string format_key(std::span<const uint8_t> key);

}  // namespace fendral::fst
