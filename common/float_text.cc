#include "common/float_text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <string_view>

namespace zudizid::common {
namespace {

// Shortest round-trip digits of a finite, non-zero magnitude: the digit string
// without leading or trailing zeros, and the decimal exponent of its first
// digit (value = 0.d1d2... * 10^(point)), i.e. point = exponent + 1.
struct Digits {
  char buf[32];
  int len = 0;
  int point = 0;
};

template <class T>
Digits shortest_digits(T magnitude) {
  char text[64];
  auto res = std::to_chars(text, text + sizeof text, magnitude, std::chars_format::scientific);
  std::string_view s(text, static_cast<size_t>(res.ptr - text));
  Digits d;
  size_t e = s.find('e');
  for (size_t i = 0; i < e; ++i)
    if (s[i] != '.') d.buf[d.len++] = s[i];
  while (d.len > 1 && d.buf[d.len - 1] == '0') --d.len;
  int exp = 0;
  std::from_chars(s.data() + e + 1 + (s[e + 1] == '+' ? 1 : 0), s.data() + s.size(), exp);
  d.point = exp + 1;
  return d;
}

void append_positional(std::string& out, const Digits& d, bool force_fraction) {
  if (d.point <= 0) {
    out += "0.";
    out.append(static_cast<size_t>(-d.point), '0');
    out.append(d.buf, static_cast<size_t>(d.len));
  } else if (d.point >= d.len) {
    out.append(d.buf, static_cast<size_t>(d.len));
    out.append(static_cast<size_t>(d.point - d.len), '0');
    if (force_fraction) out += ".0";
  } else {
    out.append(d.buf, static_cast<size_t>(d.point));
    out.push_back('.');
    out.append(d.buf + d.point, static_cast<size_t>(d.len - d.point));
  }
}

template <class T>
bool append_special(std::string& out, T value, bool debug) {
  if (std::isnan(value)) {
    out += "NaN";
    return true;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return true;
  }
  if (value == 0) {
    out += std::signbit(value) ? "-0" : "0";
    if (debug) out += ".0";
    return true;
  }
  return false;
}

template <class T>
void append_debug(std::string& out, T value) {
  if (append_special(out, value, true)) return;
  if (value < 0) out.push_back('-');
  T magnitude = std::fabs(value);
  Digits d = shortest_digits(magnitude);
  if (magnitude >= T(1e16) || magnitude < T(1e-4)) {
    out.push_back(d.buf[0]);
    if (d.len > 1) {
      out.push_back('.');
      out.append(d.buf + 1, static_cast<size_t>(d.len - 1));
    }
    out.push_back('e');
    out += std::to_string(d.point - 1);
  } else {
    append_positional(out, d, true);
  }
}

template <class T>
void append_display(std::string& out, T value) {
  if (append_special(out, value, false)) return;
  if (value < 0) out.push_back('-');
  append_positional(out, shortest_digits(std::fabs(value)), false);
}

}  // namespace

void append_float_debug(std::string& out, double value) { append_debug(out, value); }
void append_float32_debug(std::string& out, float value) { append_debug(out, value); }
void append_float_display(std::string& out, double value) { append_display(out, value); }
void append_float32_display(std::string& out, float value) { append_display(out, value); }

}  // namespace zudizid::common
