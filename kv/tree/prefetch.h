// Early loads of the shared buffers behind a node's keys or values.
//
// Each IVec longer than its inline form has its own buffer, so a loop over a
// node's entries (a search probing keys, a copy retaining every buffer) would
// otherwise wait for memory once per entry, in turn. Asking for all of them
// first lets the loads overlap.
#pragma once

#include <vector>

#include "kv/ivec.h"

namespace kelm::tree {

// `for_write`: the loop that follows changes the buffers' reference counts.
inline void prefetch_buffers(const std::vector<IVec>& entries, bool for_write) {
  for (const IVec& e : entries) {
    if (e.is_inline()) continue;
    if (for_write) __builtin_prefetch(e.data(), 1);
    else __builtin_prefetch(e.data(), 0);
  }
}

}  // namespace kelm::tree
