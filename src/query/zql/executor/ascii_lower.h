// ZQL function names match without regard to ASCII case.
#pragma once

#include "common/ascii.h"

#include <string>
#include <string_view>

namespace zudizid::query::zql::executor {

inline std::string ascii_lower(std::string_view s) { return common::ascii_lowercase(s); }

}  // namespace zudizid::query::zql::executor
