// Small UTF-8 helpers for the tokenizers; validation lives in common/utf8.h.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "common/utf8.h"

namespace fendral {

inline bool is_valid_utf8(std::span<const uint8_t> bytes) { return zudizid::common::is_valid_utf8(
    std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())); }
inline bool is_valid_utf8(std::string_view s) { return zudizid::common::is_valid_utf8(s); }

// Decodes one code point of UTF-8 at s[i]; returns its byte length. A
// sequence cut short by the end of `s` reads as U+FFFD of length 1, so no
// input makes the decoder read past its end.
inline size_t decode_utf8(std::string_view s, size_t i, uint32_t* cp) {
  auto c = static_cast<uint8_t>(s[i]);
  if (c < 0x80) {
    *cp = c;
    return 1;
  }
  size_t n = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
  if (n > s.size() - i) {
    *cp = 0xFFFD;
    return 1;
  }
  uint32_t v = c & (0x7F >> n);
  for (size_t k = 1; k < n; ++k) v = (v << 6) | (static_cast<uint8_t>(s[i + k]) & 0x3F);
  *cp = v;
  return n;
}

inline void append_utf8(std::string& out, uint32_t cp) { zudizid::common::append_utf8(out, static_cast<char32_t>(cp)); }

}  // namespace fendral
