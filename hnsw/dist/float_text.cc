#include "hnsw/dist/float_text.h"

#include <fmt/format.h>

#include <cmath>

namespace vantor::dist {

std::string f32_text(float x) {
  if (std::isnan(x)) return "NaN";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  float ax = std::fabs(x);
  if (ax != 0.0f && (ax >= 1e16f || ax < 1e-4f)) {
    // Shortest digits in scientific form: d.ddde<exp>.
    std::string s = fmt::format("{:e}", x);  // fallback, replaced below
    s = fmt::format("{}", x);
    auto e = s.find('e');
    if (e == std::string::npos) return s;
    std::string mant = s.substr(0, e);
    std::string exp = s.substr(e + 1);
    if (!exp.empty() && exp[0] == '+') exp.erase(0, 1);
    size_t z = 0;
    bool neg = !exp.empty() && exp[0] == '-';
    while (neg ? (exp.size() > 2 && exp[1] == '0') : (exp.size() > 1 && exp[0] == '0')) exp.erase(neg ? 1 : 0, 1), ++z;
    return mant + "e" + exp;
  }
  std::string s = fmt::format("{:f}", x);
  // Shortest round-trip digits without exponent.
  std::string shortest = fmt::format("{}", x);
  if (shortest.find('e') == std::string::npos) s = shortest;
  if (s.find('.') == std::string::npos) s += ".0";
  return s;
}

}  // namespace vantor::dist
