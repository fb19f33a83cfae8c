// Where a page fragment's log message lies.
#pragma once

#include <cstdint>
#include <string>

namespace kelm {

using Lsn = int64_t;         // log sequence number
using LogOffset = uint64_t;  // byte offset in the log file `db`
using PageId = uint64_t;

// Inline: the whole message, body included, lies in the log at `offset`.
// Blob: the header and the 8-byte blob id lie in the log at `offset`; the
// body lies in the blob file named by `blob`.
struct DiskPtr {
  enum class Kind : uint8_t { Inline, Blob };
  Kind kind = Kind::Inline;
  LogOffset offset = 0;
  Lsn blob = 0;  // Blob only

  static DiskPtr inline_at(LogOffset offset) { return {Kind::Inline, offset, 0}; }
  static DiskPtr blob_at(LogOffset offset, Lsn blob) { return {Kind::Blob, offset, blob}; }

  bool is_inline() const { return kind == Kind::Inline; }
  bool is_blob() const { return kind == Kind::Blob; }

  friend bool operator==(const DiskPtr&, const DiskPtr&) = default;

  // "Inline(offset)" or "Blob(offset, id)".
  std::string debug() const {
    return is_inline() ? "Inline(" + std::to_string(offset) + ")"
                       : "Blob(" + std::to_string(offset) + ", " + std::to_string(blob) + ")";
  }
};

}  // namespace kelm
