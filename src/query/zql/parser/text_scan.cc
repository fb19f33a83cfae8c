#include "query/zql/parser/text_scan.h"

#include <limits>

namespace zudizid::query::zql::grammar {

std::size_t skip_implicit_whitespace(std::string_view text, std::size_t pos) {
  const std::size_t n = text.size();
  while (pos < n) {
    char c = text[pos];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      ++pos;
    } else if (c == '/' && pos + 1 < n && text[pos + 1] == '/') {
      std::size_t e = text.find('\n', pos + 2);
      pos = e == std::string_view::npos ? n : e;
    } else if (c == '/' && pos + 1 < n && text[pos + 1] == '*') {
      std::size_t e = text.find("*/", pos + 2);
      if (e == std::string_view::npos) return pos;  // unclosed: not whitespace
      pos = e + 2;
    } else {
      break;
    }
  }
  return pos;
}

namespace {

// Digits only, at least one, value <= limit.
std::optional<std::uint64_t> read_digits(std::string_view digits, std::uint64_t limit) {
  if (digits.empty()) return std::nullopt;
  std::uint64_t v = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    auto d = static_cast<std::uint64_t>(c - '0');
    if (v > (limit - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

}  // namespace

std::optional<std::uint64_t> read_count(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  return read_digits(text, std::numeric_limits<std::uint64_t>::max());
}

std::optional<std::int64_t> read_int(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  constexpr auto kMax = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
  auto v = read_digits(text, negative ? kMax + 1 : kMax);
  if (!v) return std::nullopt;
  if (negative) return static_cast<std::int64_t>(0 - *v);  // wraps exactly at -2^63
  return static_cast<std::int64_t>(*v);
}

}  // namespace zudizid::query::zql::grammar
