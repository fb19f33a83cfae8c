// Debug text of a 32-bit float in log records: the shortest decimal that
// reads back to the same value, with at least one digit after the point
// ("1.0", "0.25"), in exponent form at 1e16 and above or below 1e-4.
#pragma once

#include <string>

namespace vantor::dist {

std::string f32_text(float x);

}  // namespace vantor::dist
