#include "fulltext/fst/error.h"

#include <fmt/format.h>

namespace fendral::fst {

static bool valid_utf8(std::span<const uint8_t> s) {
  size_t i = 0;
  while (i < s.size()) {
    uint8_t c = s[i];
    size_t n;
    uint32_t cp;
    if (c < 0x80) { ++i; continue; }
    if ((c & 0xE0) == 0xC0) { n = 1; cp = c & 0x1F; }
    else if ((c & 0xF0) == 0xE0) { n = 2; cp = c & 0x0F; }
    else if ((c & 0xF8) == 0xF0) { n = 3; cp = c & 0x07; }
    else return false;
    for (size_t k = 1; k <= n; ++k) {
      if (i + k >= s.size() || (s[i + k] & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    if ((n == 1 && cp < 0x80) || (n == 2 && cp < 0x800) || (n == 3 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += n + 1;
  }
  return true;
}

std::string format_key(std::span<const uint8_t> key) {
  if (valid_utf8(key)) return std::string(key.begin(), key.end());
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
