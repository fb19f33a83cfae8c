// The log's error slot is the configuration's shared global error slot: the
// first background failure stops the log for good.
#pragma once

#include "kv/config/config.h"

namespace kelm::pagecache {

using ErrorSlot = config::GlobalErrorSlot;

}  // namespace kelm::pagecache
