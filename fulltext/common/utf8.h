// UTF-8 validation (strict: no overlong forms, no surrogates, <= U+10FFFF).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace fendral {

bool is_valid_utf8(std::span<const uint8_t> bytes);
inline bool is_valid_utf8(std::string_view s) {
  return is_valid_utf8(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size()));
}

// Decodes one code point of valid UTF-8 at s[i]; returns its byte length.
inline size_t decode_utf8(std::string_view s, size_t i, uint32_t* cp) {
  auto c = static_cast<uint8_t>(s[i]);
  if (c < 0x80) {
    *cp = c;
    return 1;
  }
  size_t n = (c & 0xE0) == 0xC0 ? 2 : (c & 0xF0) == 0xE0 ? 3 : 4;
  uint32_t v = c & (0x7F >> n);
  for (size_t k = 1; k < n; ++k) v = (v << 6) | (static_cast<uint8_t>(s[i + k]) & 0x3F);
  *cp = v;
  return n;
}

inline void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace fendral
