// Byte strings in tests: their hex text, for tables written as in the byte
// layouts ("94 c4 10 00") or as Python's bytes.hex() prints them
// ("94c41000"), and text viewed as bytes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace zudizid::testing {

// Lower-case pairs separated by single spaces.
inline std::string hex(const std::vector<uint8_t>& b) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < b.size(); ++i) {
    if (i) s += ' ';
    s += d[b[i] >> 4];
    s += d[b[i] & 15];
  }
  return s;
}

// Hex text -> bytes; anything that is not a hex digit is ignored.
inline std::vector<uint8_t> unhex(std::string_view text) {
  std::vector<uint8_t> out;
  int hi = -1;
  for (char c : text) {
    int v = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10 : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
    if (v < 0) continue;
    if (hi < 0) {
      hi = v;
    } else {
      out.push_back(static_cast<uint8_t>(hi * 16 + v));
      hi = -1;
    }
  }
  return out;
}

// As unhex, the bytes held in a std::string.
inline std::string unhex_string(std::string_view text) {
  auto bytes = unhex(text);
  return std::string(bytes.begin(), bytes.end());
}

// The bytes of a text, without a copy.
inline std::span<const uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

}  // namespace zudizid::testing
