// ASCII case folding of names (keywords, function names): only 'A'..'Z'
// change; every other byte, UTF-8 included, compares as it is.
#pragma once

#include <string>
#include <string_view>

namespace zudizid::common {

constexpr char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

inline bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  return true;
}

inline std::string ascii_lowercase(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = ascii_lower(c);
  return out;
}

}  // namespace zudizid::common
