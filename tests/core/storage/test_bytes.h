// Hex text of byte strings, for test tables written as in the byte layouts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zudizid::testing_util {

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

// "94 c4 10 00" -> bytes; whitespace between pairs is ignored.
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

}  // namespace zudizid::testing_util
