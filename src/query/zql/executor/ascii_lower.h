// ZQL function names match without regard to ASCII case.
#pragma once

#include <string>
#include <string_view>

namespace zudizid::query::zql::executor {

inline std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace zudizid::query::zql::executor
