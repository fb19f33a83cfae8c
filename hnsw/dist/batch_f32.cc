#include "hnsw/dist/batch_f32.h"

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "hnsw/dist/avx2_lanes.h"
#include "hnsw/dist/kernels.h"

namespace vantor::dist::batch {

namespace {

// ---- scalar fallback: the reference loops, one row at a time -------------

void l1_scalar(const float* q, const float* const* rows, size_t count, size_t n, float* out) {
  for (size_t j = 0; j < count; ++j) out[j] = kernel::l1(q, rows[j], n);
}
void l2_sq_scalar(const float* q, const float* const* rows, size_t count, size_t n, float* out) {
  for (size_t j = 0; j < count; ++j) {
    float norm = -0.0f;
    for (size_t i = 0; i < n; ++i) {
      float d = q[i] - rows[j][i];
      float s = d * d;
      norm = norm + s;
    }
    out[j] = norm;
  }
}
void dot_scalar(const float* q, const float* const* rows, size_t count, size_t n, float* out) {
  for (size_t j = 0; j < count; ++j) {
    float sum = 0.0f;
    for (size_t i = 0; i < n; ++i) {
      float p = q[i] * rows[j][i];
      sum = sum + p;
    }
    out[j] = sum;
  }
}
void dot64_scalar(const float* q, const float* const* rows, size_t count, size_t n, double* out) {
  for (size_t j = 0; j < count; ++j) out[j] = kernel::dot64(q, rows[j], n);
}
void sqrt_products_scalar(const float* q, const float* const* rows, size_t count, size_t n,
                          float* out) {
  for (size_t j = 0; j < count; ++j) {
    float s = 0.0f;
    for (size_t i = 0; i < n; ++i) {
      float p = q[i] * rows[j][i];
      s = s + std::sqrt(p);
    }
    out[j] = s;
  }
}

// ---- AVX2: 8 rows in 8 lanes ---------------------------------------------

// Walks positions 0..n-1 in order and hands `step` the query element
// (broadcast) and the column of the 8 rows at that position.
template <class Step>
VANTOR_AVX2 inline void walk8(const float* q, const float* const* rows_in, size_t count, size_t n,
                              Step& step) {
  const float* rows[8];
  for (size_t j = 0; j < 8; ++j) rows[j] = rows_in[j < count ? j : count - 1];
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256 r[8];
    for (size_t j = 0; j < 8; ++j) r[j] = _mm256_loadu_ps(rows[j] + i);
    transpose8(r);
    for (size_t k = 0; k < 8; ++k) step(_mm256_broadcast_ss(q + i + k), r[k]);
  }
  for (; i < n; ++i) {
    __m256 col = _mm256_setr_ps(rows[0][i], rows[1][i], rows[2][i], rows[3][i], rows[4][i],
                                rows[5][i], rows[6][i], rows[7][i]);
    step(_mm256_broadcast_ss(q + i), col);
  }
}

// Two groups of 8 rows at once: independent accumulator chains hide the
// latency of the additions. Rows 8.. of `rows_in` form the second group.
template <class Step>
VANTOR_AVX2 inline void walk16(const float* q, const float* const* rows_in, size_t count, size_t n,
                               Step& s0, Step& s1) {
  const float* a[8];
  const float* b[8];
  for (size_t j = 0; j < 8; ++j) {
    a[j] = rows_in[j];
    b[j] = rows_in[8 + j < count ? 8 + j : count - 1];
  }
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256 ra[8], rb[8];
    for (size_t j = 0; j < 8; ++j) ra[j] = _mm256_loadu_ps(a[j] + i);
    for (size_t j = 0; j < 8; ++j) rb[j] = _mm256_loadu_ps(b[j] + i);
    transpose8(ra);
    transpose8(rb);
    for (size_t k = 0; k < 8; ++k) {
      __m256 qk = _mm256_broadcast_ss(q + i + k);
      s0(qk, ra[k]);
      s1(qk, rb[k]);
    }
  }
  for (; i < n; ++i) {
    __m256 qk = _mm256_broadcast_ss(q + i);
    s0(qk, _mm256_setr_ps(a[0][i], a[1][i], a[2][i], a[3][i], a[4][i], a[5][i], a[6][i], a[7][i]));
    s1(qk, _mm256_setr_ps(b[0][i], b[1][i], b[2][i], b[3][i], b[4][i], b[5][i], b[6][i], b[7][i]));
  }
}

struct DotStep {
  __m256 acc;
  VANTOR_AVX2 void operator()(__m256 a, __m256 b) { acc = _mm256_add_ps(acc, _mm256_mul_ps(a, b)); }
};
struct SqrtProductStep {
  __m256 acc;
  VANTOR_AVX2 void operator()(__m256 a, __m256 b) {
    acc = _mm256_add_ps(acc, _mm256_sqrt_ps(_mm256_mul_ps(a, b)));
  }
};
struct Dot64Step {
  __m256d lo, hi;
  VANTOR_AVX2 void operator()(__m256 a, __m256 b) {
    __m256 p = _mm256_mul_ps(a, b);
    lo = _mm256_add_pd(lo, _mm256_cvtps_pd(_mm256_castps256_ps128(p)));
    hi = _mm256_add_pd(hi, _mm256_cvtps_pd(_mm256_extractf128_ps(p, 1)));
  }
};

template <class Step>
VANTOR_AVX2 void run_f32(Step step, const float* q, const float* const* rows, size_t count, size_t n,
                         float* out) {
  alignas(32) float tmp[16];
  if (count <= 8) {
    walk8(q, rows, count, n, step);
    _mm256_store_ps(tmp, step.acc);
  } else {
    Step second = step;
    walk16(q, rows, count, n, step, second);
    _mm256_store_ps(tmp, step.acc);
    _mm256_store_ps(tmp + 8, second.acc);
  }
  for (size_t j = 0; j < count; ++j) out[j] = tmp[j];
}

VANTOR_AVX2 void l1_avx2(const float* q, const float* const* rows, size_t count, size_t n, float* out) {
  run_f32(L1Step{_mm256_set1_ps(-0.0f)}, q, rows, count, n, out);
}
VANTOR_AVX2 void l2_sq_avx2(const float* q, const float* const* rows, size_t count, size_t n, float* out) {
  run_f32(L2Step{_mm256_set1_ps(-0.0f)}, q, rows, count, n, out);
}
VANTOR_AVX2 void dot_avx2(const float* q, const float* const* rows, size_t count, size_t n, float* out) {
  run_f32(DotStep{_mm256_setzero_ps()}, q, rows, count, n, out);
}
VANTOR_AVX2 void sqrt_products_avx2(const float* q, const float* const* rows, size_t count, size_t n,
                                    float* out) {
  run_f32(SqrtProductStep{_mm256_setzero_ps()}, q, rows, count, n, out);
}
VANTOR_AVX2 void dot64_avx2(const float* q, const float* const* rows, size_t count, size_t n, double* out) {
  Dot64Step step{_mm256_setzero_pd(), _mm256_setzero_pd()};
  alignas(32) double tmp[16];
  if (count <= 8) {
    walk8(q, rows, count, n, step);
  } else {
    Dot64Step second = step;
    walk16(q, rows, count, n, step, second);
    _mm256_store_pd(tmp + 8, second.lo);
    _mm256_store_pd(tmp + 12, second.hi);
  }
  _mm256_store_pd(tmp, step.lo);
  _mm256_store_pd(tmp + 4, step.hi);
  for (size_t j = 0; j < count; ++j) out[j] = tmp[j];
}

const bool g_avx2 = __builtin_cpu_supports("avx2");
const bool g_avx512 = __builtin_cpu_supports("avx512f");

// ---- order-free exact dot products (see dot64_rows) ----------------------

// Sum of magnitudes computed in f32 with up to n roundings: the true sum is at
// most sum * (1 + 2 n 2^-24) while n <= 2^16.
inline bool sum_is_exact(float sum_abs, float min_abs, size_t n) {
  if (n > (size_t{1} << 16)) return false;
  double upper = static_cast<double>(sum_abs) * (1.0 + 2.0 * static_cast<double>(n) * 0x1p-24);
  // The smallest product's ulp is at least min_abs * 2^-24; 2^53 of those.
  return upper <= static_cast<double>(min_abs) * 0x1p29;
}

#define VANTOR_AVX512 __attribute__((target("avx512f")))

// g++ 12 reports its own AVX-512 intrinsics' undefined placeholders.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

// Exact when it returns true; then *out is the ordered sum's value.
struct FreeDot512 {
  __m512d acc0, acc1;
  __m512 sum_abs, min_abs;
  VANTOR_AVX512 void step(__m512 p) {
    __m512 a = _mm512_castsi512_ps(_mm512_and_si512(_mm512_castps_si512(p), _mm512_set1_epi32(0x7fffffff)));
    sum_abs = _mm512_add_ps(sum_abs, a);
    // Zero products take part in no rounding: keep them out of the minimum.
    __mmask16 nz = _mm512_cmp_ps_mask(a, _mm512_setzero_ps(), _CMP_NEQ_OQ);
    min_abs = _mm512_mask_min_ps(min_abs, nz, min_abs, a);
    acc0 = _mm512_add_pd(acc0, _mm512_cvtps_pd(_mm512_castps512_ps256(p)));
    acc1 = _mm512_add_pd(acc1, _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(p), 1))));
  }
};

// Exact when it returns true; then *out is the ordered sum's value.
VANTOR_AVX512 bool dot64_free_avx512(const float* q, const float* r, size_t n, double* out) {
  FreeDot512 f{_mm512_setzero_pd(), _mm512_setzero_pd(), _mm512_setzero_ps(),
               _mm512_set1_ps(std::numeric_limits<float>::infinity())};
  size_t i = 0;
  for (; i + 16 <= n; i += 16) f.step(_mm512_mul_ps(_mm512_loadu_ps(q + i), _mm512_loadu_ps(r + i)));
  if (i < n) {
    __mmask16 m = static_cast<__mmask16>((1u << (n - i)) - 1);
    f.step(_mm512_mul_ps(_mm512_maskz_loadu_ps(m, q + i), _mm512_maskz_loadu_ps(m, r + i)));
  }
  float mn = _mm512_reduce_min_ps(f.min_abs);
  if (mn == std::numeric_limits<float>::infinity()) {  // every product is zero
    *out = 0.0;
    return true;
  }
  if (!sum_is_exact(_mm512_reduce_add_ps(f.sum_abs), mn, n)) return false;
  *out = _mm512_reduce_add_pd(_mm512_add_pd(f.acc0, f.acc1));
  return true;
}

VANTOR_AVX2 bool dot64_free_avx2(const float* q, const float* r, size_t n, double* out) {
  __m256d acc0 = _mm256_setzero_pd(), acc1 = _mm256_setzero_pd();
  __m256 sum_abs = _mm256_setzero_ps();
  const float inf = std::numeric_limits<float>::infinity();
  __m256 min_abs = _mm256_set1_ps(inf);
  const __m256 zero = _mm256_setzero_ps();
  const __m256 sign = _mm256_set1_ps(-0.0f);
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256 p = _mm256_mul_ps(_mm256_loadu_ps(q + i), _mm256_loadu_ps(r + i));
    __m256 a = _mm256_andnot_ps(sign, p);
    sum_abs = _mm256_add_ps(sum_abs, a);
    // Zero products take part in no rounding: keep them out of the minimum.
    __m256 nz = _mm256_cmp_ps(a, zero, _CMP_NEQ_OQ);
    min_abs = _mm256_min_ps(min_abs, _mm256_blendv_ps(_mm256_set1_ps(inf), a, nz));
    acc0 = _mm256_add_pd(acc0, _mm256_cvtps_pd(_mm256_castps256_ps128(p)));
    acc1 = _mm256_add_pd(acc1, _mm256_cvtps_pd(_mm256_extractf128_ps(p, 1)));
  }
  alignas(32) float sa[8], ma[8];
  alignas(32) double d0[4], d1[4];
  _mm256_store_ps(sa, sum_abs);
  _mm256_store_ps(ma, min_abs);
  _mm256_store_pd(d0, acc0);
  _mm256_store_pd(d1, acc1);
  float s = 0.0f, mn = inf;
  double total = 0.0;
  for (int k = 0; k < 8; ++k) {
    s += sa[k];
    mn = std::min(mn, ma[k]);
  }
  for (int k = 0; k < 4; ++k) total += d0[k] + d1[k];
  for (; i < n; ++i) {
    float p = q[i] * r[i];
    float a = std::fabs(p);
    s += a;
    if (a != 0.0f) mn = std::min(mn, a);
    total += static_cast<double>(p);
  }
  if (mn == inf) {
    *out = 0.0;
    return true;
  }
  if (!sum_is_exact(s, mn, n)) return false;
  *out = total;
  return true;
}

}  // namespace

// Unchecked SIMD-order sums (the caller has shown they are exact).
static VANTOR_AVX512 double dot64_free_avx512_unchecked(const float* q, const float* r, size_t n) {
  __m512d acc0 = _mm512_setzero_pd(), acc1 = _mm512_setzero_pd();
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    __m512 p = _mm512_mul_ps(_mm512_loadu_ps(q + i), _mm512_loadu_ps(r + i));
    acc0 = _mm512_add_pd(acc0, _mm512_cvtps_pd(_mm512_castps512_ps256(p)));
    acc1 = _mm512_add_pd(acc1, _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(p), 1))));
  }
  if (i < n) {
    __mmask16 m = static_cast<__mmask16>((1u << (n - i)) - 1);
    __m512 p = _mm512_mul_ps(_mm512_maskz_loadu_ps(m, q + i), _mm512_maskz_loadu_ps(m, r + i));
    acc0 = _mm512_add_pd(acc0, _mm512_cvtps_pd(_mm512_castps512_ps256(p)));
    acc1 = _mm512_add_pd(acc1, _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(p), 1))));
  }
  return _mm512_reduce_add_pd(_mm512_add_pd(acc0, acc1));
}

static VANTOR_AVX2 double dot64_free_avx2_unchecked(const float* q, const float* r, size_t n) {
  __m256d acc0 = _mm256_setzero_pd(), acc1 = _mm256_setzero_pd();
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256 p = _mm256_mul_ps(_mm256_loadu_ps(q + i), _mm256_loadu_ps(r + i));
    acc0 = _mm256_add_pd(acc0, _mm256_cvtps_pd(_mm256_castps256_ps128(p)));
    acc1 = _mm256_add_pd(acc1, _mm256_cvtps_pd(_mm256_extractf128_ps(p, 1)));
  }
  alignas(32) double d[4];
  _mm256_store_pd(d, _mm256_add_pd(acc0, acc1));
  double total = (d[0] + d[1]) + (d[2] + d[3]);
  for (; i < n; ++i) {
    float p = q[i] * r[i];
    total += static_cast<double>(p);
  }
  return total;
}

double dot64_free(const float* q, const float* row, size_t n) {
  if (g_avx512) return dot64_free_avx512_unchecked(q, row, n);
  if (g_avx2) return dot64_free_avx2_unchecked(q, row, n);
  return kernel::dot64(q, row, n);
}

// Every non-zero product is at least fl(min_q * min_row) in magnitude, so its
// unit in the last place is at least min_q * min_row * 2^-25; the magnitudes
// sum to at most (1 + 2^-24) |q| |row| (Cauchy-Schwarz), and the cached
// squared norms are within a relative 2^-21 of the true ones. Below 2^53
// units every partial sum is exact.
bool order_free(double sq_norm_q, float min_abs_q, double sq_norm_row, float min_abs_row) {
  double m = static_cast<double>(min_abs_q) * static_cast<double>(min_abs_row);  // exact
  return std::sqrt(sq_norm_q * sq_norm_row) * 1.0001 <= m * 0x1p28;
}

float min_abs_nonzero(const float* v, size_t n) {
  float m = std::numeric_limits<float>::infinity();
  for (size_t i = 0; i < n; ++i) {
    float a = std::fabs(v[i]);
    if (a != 0.0f && a < m) m = a;
  }
  return m;
}

double dot64_one(const float* q, const float* row, size_t n) {
  double d;
  if (g_avx512 ? dot64_free_avx512(q, row, n, &d) : g_avx2 ? dot64_free_avx2(q, row, n, &d) : false) return d;
  return kernel::dot64(q, row, n);
}

void dot64_rows(const float* q, const float* const* rows, size_t count, size_t n, double* out) {
  for (size_t j = 0; j < count; ++j) {
    if (j + 1 < count) {
      for (size_t o = 0; o < n; o += 16) __builtin_prefetch(rows[j + 1] + o);
    }
    out[j] = dot64_one(q, rows[j], n);
  }
}

bool has_avx2() { return g_avx2; }

void l1(const float* q, const float* const* rows, size_t count, size_t n, float* out) {
  if (count == 0) return;
  // One row fills one lane only: the plain loop is cheaper than a transpose.
  (g_avx2 && count > 1) ? l1_avx2(q, rows, count, n, out) : l1_scalar(q, rows, count, n, out);
}
void l2_sq(const float* q, const float* const* rows, size_t count, size_t n, float* out) {
  if (count == 0) return;
  // One row fills one lane only: the plain loop is cheaper than a transpose.
  (g_avx2 && count > 1) ? l2_sq_avx2(q, rows, count, n, out) : l2_sq_scalar(q, rows, count, n, out);
}
void dot(const float* q, const float* const* rows, size_t count, size_t n, float* out) {
  if (count == 0) return;
  // One row fills one lane only: the plain loop is cheaper than a transpose.
  (g_avx2 && count > 1) ? dot_avx2(q, rows, count, n, out) : dot_scalar(q, rows, count, n, out);
}
void dot64(const float* q, const float* const* rows, size_t count, size_t n, double* out) {
  if (count == 0) return;
  // One row fills one lane only: the plain loop is cheaper than a transpose.
  (g_avx2 && count > 1) ? dot64_avx2(q, rows, count, n, out) : dot64_scalar(q, rows, count, n, out);
}
void sqrt_products(const float* q, const float* const* rows, size_t count, size_t n, float* out) {
  if (count == 0) return;
  // One row fills one lane only: the plain loop is cheaper than a transpose.
  (g_avx2 && count > 1) ? sqrt_products_avx2(q, rows, count, n, out) : sqrt_products_scalar(q, rows, count, n, out);
}

}  // namespace vantor::dist::batch
