// AVX2 building blocks shared by the batch kernels: a transpose that turns
// eight rows of eight lanes into eight columns, so that lane j of column k
// holds element k of row j, and the L1 and L2 accumulation steps.
#pragma once

#include <immintrin.h>

namespace vantor::dist::batch {

#define VANTOR_AVX2 __attribute__((target("avx2")))

// r[k] becomes column k: lane j holds element k of row j.
VANTOR_AVX2 inline void transpose8(__m256 r[8]) {
  __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]);
  __m256 t1 = _mm256_unpackhi_ps(r[0], r[1]);
  __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]);
  __m256 t3 = _mm256_unpackhi_ps(r[2], r[3]);
  __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]);
  __m256 t5 = _mm256_unpackhi_ps(r[4], r[5]);
  __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]);
  __m256 t7 = _mm256_unpackhi_ps(r[6], r[7]);
  __m256 u0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
  __m256 u1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
  __m256 u2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
  __m256 u3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
  __m256 u4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
  __m256 u5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
  __m256 u6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
  __m256 u7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
  r[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
  r[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
  r[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
  r[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
  r[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
  r[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
  r[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
  r[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

// Per-lane accumulation steps: lane j adds its term for position i to its
// own running sum, one f32 rounding per step.
struct L1Step {
  __m256 acc;
  VANTOR_AVX2 void operator()(__m256 a, __m256 b) {
    __m256 d = _mm256_sub_ps(a, b);
    acc = _mm256_add_ps(acc, _mm256_andnot_ps(_mm256_set1_ps(-0.0f), d));
  }
};
struct L2Step {
  __m256 acc;
  VANTOR_AVX2 void operator()(__m256 a, __m256 b) {
    __m256 d = _mm256_sub_ps(a, b);
    acc = _mm256_add_ps(acc, _mm256_mul_ps(d, d));
  }
};

}  // namespace vantor::dist::batch
