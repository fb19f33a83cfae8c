// Decimal text of binary floats.
//
// Every form starts from the shortest digit string that reads back as the
// same value (std::to_chars); the forms differ only in layout:
//
//   debug     at least one digit after the point; exponent form ("1e16",
//             "1e-5", "1.8446744073709552e19") when the magnitude is 1e16 or
//             more, or below 1e-4 and not zero. "NaN", "inf", "-inf", "-0.0".
//             Also the JSON form of a finite float and the form inside
//             "floating point `...`" messages.
//   display   plain positional notation, never an exponent, no fraction for
//             whole values ("3", "0.1", "-0", 1e21 as 1 and 21 zeros);
//             "NaN", "inf", "-inf".
//
// The 32-bit variants use the shortest digits of the float itself, so
// 0.1f prints "0.1", not the digits of its widened double.
#pragma once

#include <string>

namespace zudizid::common {

void append_float_debug(std::string& out, double value);
void append_float32_debug(std::string& out, float value);
void append_float_display(std::string& out, double value);
void append_float32_display(std::string& out, float value);

inline std::string float_debug(double value) {
  std::string s;
  append_float_debug(s, value);
  return s;
}
inline std::string float32_debug(float value) {
  std::string s;
  append_float32_debug(s, value);
  return s;
}
inline std::string float_display(double value) {
  std::string s;
  append_float_display(s, value);
  return s;
}
inline std::string float32_display(float value) {
  std::string s;
  append_float32_display(s, value);
  return s;
}

}  // namespace zudizid::common
