// Neighbour lists of layers 1 and up of one point. One array holds the list
// headers of layers 1 .. n_upper; a list of at most one entry keeps it in its
// header, so the usual case (the single record a descent leaves) costs no
// allocation of its own. The caller holds the point's lock.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <span>

#include "hnsw/hnsw/heap.h"

namespace vantor {

struct UpperList {
  uint32_t size = 0;
  uint32_t cap = 1;  // 1: the entry lives in `one`
  union {
    Entry one;
    Entry* many;
  };
  UpperList() : one{0, 0.0f} {}
  Entry* data() { return cap <= 1 ? &one : many; }
  const Entry* data() const { return cap <= 1 ? &one : many; }
};

// Room for `need` entries, keeping the current ones.
inline Entry* upper_reserve(UpperList& l, size_t need) {
  if (need <= l.cap) return l.data();
  uint32_t cap = static_cast<uint32_t>(std::max<size_t>({need, size_t{l.cap} * 2, 4}));
  Entry* fresh = new Entry[cap];
  std::copy(l.data(), l.data() + l.size, fresh);
  if (l.cap > 1) delete[] l.many;
  l.many = fresh;
  l.cap = cap;
  return fresh;
}

inline void upper_free(UpperList* lists, uint8_t n) {
  if (!lists) return;
  for (uint8_t i = 0; i < n; ++i) {
    if (lists[i].cap > 1) delete[] lists[i].many;
  }
  delete[] lists;
}

}  // namespace vantor
