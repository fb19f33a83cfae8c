// kelm::Error: the value every fallible engine operation returns on failure.
// The graph layer carries it unchanged, so its display texts reach users.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <variant>

#include "common/io_error.h"
#include "kv/ivec.h"
#include "kv/pagecache/disk_ptr.h"

namespace kelm {

class Error {
 public:
  struct CollectionNotFound {
    IVec name;
  };
  struct Unsupported {
    std::string text;
  };
  struct ReportableBug {
    std::string text;
  };
  struct Io {
    zudizid::common::IoError error;
  };
  struct Corruption {
    std::optional<DiskPtr> at;  // none where no log position applies
  };
  using Variant = std::variant<CollectionNotFound, Unsupported, ReportableBug, Io, Corruption>;

  Error(Variant v) : v_(std::move(v)) {}  // NOLINT: implicit by design
  Error(zudizid::common::IoError io) : v_(Io{std::move(io)}) {}  // NOLINT

  static Error collection_not_found(IVec name) { return Error(CollectionNotFound{std::move(name)}); }
  static Error unsupported(std::string text) { return Error(Unsupported{std::move(text)}); }
  static Error reportable_bug(std::string text) { return Error(ReportableBug{std::move(text)}); }
  static Error corruption(std::optional<DiskPtr> at = std::nullopt) { return Error(Corruption{at}); }
  static Error io(zudizid::common::IoError e) { return Error(Io{std::move(e)}); }
  static Error last_os_error() { return Error(Io{zudizid::common::last_os_error()}); }

  const Variant& variant() const { return v_; }
  template <class T>
  bool is() const {
    return std::holds_alternative<T>(v_);
  }
  template <class T>
  const T* get_if() const {
    return std::get_if<T>(&v_);
  }

  // The handed-out copy of a stored error: an Io error becomes a made error of
  // the same kind whose message is the original's debug text.
  Error clone() const;

  std::string display() const;
  std::string debug(bool alternate = false) const;

  friend bool operator==(const Error& a, const Error& b) { return a.display() == b.display(); }

 private:
  Variant v_;
};

template <class T>
using Result = std::expected<T, Error>;

}  // namespace kelm
