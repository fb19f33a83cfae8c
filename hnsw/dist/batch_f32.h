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

// Dot products of q with each row, products rounded to f32 and summed in f64,
// bit-identical to kernel::dot64 (one running sum in index order), for any
// count. A row is summed in SIMD order when that provably rounds nowhere:
// every product is a multiple of the smallest product's unit in the last
// place, so while the sum of magnitudes stays below 2^53 such units every
// partial sum, in any order, is exact. Other rows take the ordered loop.
void dot64_rows(const float* q, const float* const* rows, size_t count, size_t n, double* out);
double dot64_one(const float* q, const float* row, size_t n);
// As dot64_one, for a pair already known to round nowhere in any order.
double dot64_free(const float* q, const float* row, size_t n);
// Whether every order of summing q . row is exact, from per-vector bounds:
// squared norms (f32 squares summed in f64) and smallest non-zero magnitudes.
bool order_free(double sq_norm_q, float min_abs_q, double sq_norm_row, float min_abs_row);
// Smallest non-zero |v_i|, +inf when there is none.
float min_abs_nonzero(const float* v, size_t n);

bool has_avx2();

}  // namespace vantor::dist::batch
