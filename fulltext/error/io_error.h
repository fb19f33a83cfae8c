// The engine carries the platform I/O error of common/ unchanged.
#pragma once

#include "common/io_error.h"

namespace fendral {

using IoError = zudizid::common::IoError;
using IoErrorKind = zudizid::common::IoErrorKind;
using zudizid::common::debug_quote;

}  // namespace fendral
