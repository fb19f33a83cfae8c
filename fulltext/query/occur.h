// How a clause of a boolean query takes part: it may match (Should), must
// match (Must) or must not match (MustNot).
#pragma once

#include <cstdint>

namespace fendral::query {

enum class Occur : uint8_t { Should, Must, MustNot };

}  // namespace fendral::query
