#include "hnsw/dist/batch_int.h"

#include <immintrin.h>

#include <algorithm>

#include "hnsw/dist/avx2_lanes.h"
#include "hnsw/dist/batch_f32.h"
#include "hnsw/dist/kernels_int.h"

namespace vantor::dist::batch {

namespace {

// Eight consecutive elements converted to the nearest f32 each.
VANTOR_AVX2 inline __m256 load8(const int32_t* p) {
  return _mm256_cvtepi32_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)));
}
VANTOR_AVX2 inline __m256 load8(const uint16_t* p) {
  __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  return _mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(x));
}
VANTOR_AVX2 inline __m256 load8(const uint8_t* p) {
  __m128i x = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
  return _mm256_cvtepi32_ps(_mm256_cvtepu8_epi32(x));
}
// hi * 2^16 and lo are exact in f32; their sum is rounded once, which is the
// nearest f32 to the unsigned value.
VANTOR_AVX2 inline __m256 load8(const uint32_t* p) {
  __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  __m256 hi = _mm256_cvtepi32_ps(_mm256_srli_epi32(x, 16));
  __m256 lo = _mm256_cvtepi32_ps(_mm256_and_si256(x, _mm256_set1_epi32(0xffff)));
  return _mm256_add_ps(_mm256_mul_ps(hi, _mm256_set1_ps(65536.0f)), lo);
}

// Up to 8 rows in 8 lanes, positions in index order.
template <class T, class Step>
VANTOR_AVX2 void run8(const T* q, const T* const* rows_in, size_t count, size_t n, float* out) {
  Step step{_mm256_set1_ps(-0.0f)};
  const T* rows[8];
  for (size_t j = 0; j < 8; ++j) rows[j] = rows_in[j < count ? j : count - 1];
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    __m256 r[8];
    for (size_t j = 0; j < 8; ++j) r[j] = load8(rows[j] + i);
    transpose8(r);
    for (size_t k = 0; k < 8; ++k) step(_mm256_set1_ps(kernel::to_f32(q[i + k])), r[k]);
  }
  for (; i < n; ++i) {
    __m256 col = _mm256_setr_ps(kernel::to_f32(rows[0][i]), kernel::to_f32(rows[1][i]), kernel::to_f32(rows[2][i]),
                                kernel::to_f32(rows[3][i]), kernel::to_f32(rows[4][i]), kernel::to_f32(rows[5][i]),
                                kernel::to_f32(rows[6][i]), kernel::to_f32(rows[7][i]));
    step(_mm256_set1_ps(kernel::to_f32(q[i])), col);
  }
  alignas(32) float tmp[8];
  _mm256_store_ps(tmp, step.acc);
  for (size_t j = 0; j < count; ++j) out[j] = tmp[j];
}

template <class T, class Step>
void run(const T* q, const T* const* rows, size_t count, size_t n, float* out,
         float (*scalar)(const T*, const T*, size_t)) {
  static const bool avx2 = has_avx2();
  if (!avx2 || count == 1) {
    for (size_t j = 0; j < count; ++j) out[j] = scalar(q, rows[j], n);
    return;
  }
  for (size_t j = 0; j < count; j += 8) run8<T, Step>(q, rows + j, std::min<size_t>(8, count - j), n, out + j);
}

}  // namespace

template <class T>
void l1_int(const T* q, const T* const* rows, size_t count, size_t n, float* out) {
  run<T, L1Step>(q, rows, count, n, out, kernel::l1_int<T>);
}
template <class T>
void l2_sq_int(const T* q, const T* const* rows, size_t count, size_t n, float* out) {
  run<T, L2Step>(q, rows, count, n, out, kernel::l2_sq_int<T>);
}

#define VANTOR_INT_BATCH(T)                                                              \
  template void l1_int<T>(const T*, const T* const*, size_t, size_t, float*);            \
  template void l2_sq_int<T>(const T*, const T* const*, size_t, size_t, float*);
VANTOR_INT_BATCH(int32_t)
VANTOR_INT_BATCH(uint16_t)
VANTOR_INT_BATCH(uint32_t)
VANTOR_INT_BATCH(uint8_t)
#undef VANTOR_INT_BATCH

}  // namespace vantor::dist::batch
