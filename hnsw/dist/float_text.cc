#include "hnsw/dist/float_text.h"

#include <fmt/format.h>

#include <cmath>

namespace vantor::dist {

std::string f32_text(float x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  std::string shortest = fmt::format("{}", x);  // shortest round-trip digits
  float ax = std::fabs(x);
  bool exponent = ax != 0.0f && (ax >= 1e16f || ax < 1e-4f);
  auto e = shortest.find('e');
  if (exponent) {
    if (e == std::string::npos) return fmt::format("{:e}", x);
    // fmt writes 1e-05 / 1e+16; the debug text is 1e-5 / 1e16.
    std::string mant = shortest.substr(0, e);
    std::string exp = shortest.substr(e + 1);
    bool neg = exp[0] == '-';
    size_t digits = exp.find_first_not_of("+-0");
    return mant + "e" + (neg ? "-" : "") + (digits == std::string::npos ? "0" : exp.substr(digits));
  }
  if (e != std::string::npos) shortest = fmt::format("{:f}", x);  // fixed form in range
  if (shortest.find('.') == std::string::npos) shortest += ".0";
  return shortest;
}

}  // namespace vantor::dist
