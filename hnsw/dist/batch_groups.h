// Runs a per-lane batch kernel over any number of rows, kLanes at a time,
// finishing each lane's raw sum into its distance.
#pragma once

#include <algorithm>
#include <cstddef>

#include "hnsw/dist/batch_f32.h"

namespace vantor::dist::batch {

template <class T, class Kernel, class Finish>
void in_groups(Kernel kernel, Finish finish, const T* q, const T* const* rows, size_t count, size_t n,
               float* out) {
  float raw[kLanes];
  for (size_t j = 0; j < count; j += kLanes) {
    size_t c = std::min(kLanes, count - j);
    kernel(q, rows + j, c, n, raw);
    for (size_t k = 0; k < c; ++k) out[j + k] = finish(raw[k]);
  }
}

}  // namespace vantor::dist::batch
