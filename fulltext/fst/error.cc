#include "fulltext/fst/error.h"

#include <fmt/format.h>

#include "fulltext/common/utf8.h"

namespace fendral::fst {

std::string format_key(std::span<const uint8_t> key) {
  if (is_valid_utf8(key)) return std::string(key.begin(), key.end());
  std::string out = "[";
  for (size_t i = 0; i < key.size(); ++i) {
    if (i) out += ", ";
    out += std::to_string(key[i]);
  }
  return out + "]";
}

std::string Error::display() const {
  switch (kind) {
    case Kind::VersionMismatch:
      return fmt::format(
          "Error opening FST: expected API version {}, got API version {}.\n"
          "It looks like the data you are trying to open is either not an FST or was written by a different "
          "version of the FST library. You'll either need to change the version of the FST library you're "
          "using, or re-generate the FST.",
          expected, got);
    case Kind::BadFormat:
      return "Error opening FST: An unknown error occurred. This usually means you're trying\n"
             "to read data that isn't actually an encoded FST.";
    case Kind::DuplicateKey: return fmt::format("Error inserting duplicate key: {}.", format_key(key));
    case Kind::OutOfOrderKey:
      return fmt::format(
          "Error inserting out-of-order key: {}. (Previous key was {}.) Keys must be\ninserted in lexicographic order.",
          format_key(key), format_key(previous));
    case Kind::TypeMismatch: return fmt::format("Error opening FST: expected type {}, got type {}.", expected, got);
    case Kind::InvalidUtf8: return fmt::format("incomplete utf-8 byte sequence from index {}", got);
    case Kind::Corrupt: return fmt::format("Error reading FST: corrupt data ({})", detail);
    case Kind::Io: return io->display();
  }
  return {};
}

}  // namespace fendral::fst
