// One query against up to kLanes stored rows of n floats each. Each output is
// bit-identical to the scalar kernel of kernels.h for that row: every row has
// its own accumulator (one SIMD lane) that runs over the positions in index
// order. Rows are dispatched to AVX2 when the processor has it.
#pragma once

#include <cstddef>

namespace vantor::dist::batch {

inline constexpr size_t kLanes = 16;  // two groups of 8 AVX2 lanes

// Raw per-lane sums; count <= kLanes.
void l1(const float* q, const float* const* rows, size_t count, size_t n, float* out);
void l2_sq(const float* q, const float* const* rows, size_t count, size_t n, float* out);
void dot(const float* q, const float* const* rows, size_t count, size_t n, float* out);
void dot64(const float* q, const float* const* rows, size_t count, size_t n, double* out);
void sqrt_products(const float* q, const float* const* rows, size_t count, size_t n, float* out);

bool has_avx2();

}  // namespace vantor::dist::batch
