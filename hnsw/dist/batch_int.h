// One query against up to kLanes stored rows of n integer elements each, for
// the f32-accumulating integer distances. Each output is bit-identical to
// kernel::l1_int / kernel::l2_sq_int for that row: every row has its own f32
// accumulator (one SIMD lane) that runs over the positions in index order,
// and elements are converted to the nearest f32 exactly as the scalar kernel
// converts them. Rows go to AVX2 when the processor has it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vantor::dist::batch {

// Raw per-lane sums; count <= kLanes (batch_f32.h).
template <class T>
void l1_int(const T* q, const T* const* rows, size_t count, size_t n, float* out);
template <class T>
void l2_sq_int(const T* q, const T* const* rows, size_t count, size_t n, float* out);

}  // namespace vantor::dist::batch
