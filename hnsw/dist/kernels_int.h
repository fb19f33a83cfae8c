// Scalar kernels over integer elements (i32, u16, u32, u8): the reference
// arithmetic of the integer distances. The batch kernels (batch_int.cc)
// reproduce L1 and L2 lane by lane.
//
// L1 and L2 convert each element to the nearest f32 before any arithmetic (no
// integer difference is formed, so nothing overflows) and keep one f32
// accumulator, starting at -0, in index order. Hamming and Jaccard count
// exactly in 64-bit integers, so their order is free.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace vantor::dist::kernel {

template <class T>
inline float to_f32(T x) {
  return static_cast<float>(x);  // round to nearest, ties to even
}

template <class T>
inline float l1_int(const T* a, const T* b, size_t n) {
  float s = -0.0f;
  for (size_t i = 0; i < n; ++i) {
    float d = to_f32(a[i]) - to_f32(b[i]);
    s = s + std::fabs(d);
  }
  return s;
}

template <class T>
inline float l2_sq_int(const T* a, const T* b, size_t n) {
  float s = -0.0f;
  for (size_t i = 0; i < n; ++i) {
    float d = to_f32(a[i]) - to_f32(b[i]);
    float p = d * d;
    s = s + p;
  }
  return s;
}

template <class T>
inline float l2_int(const T* a, const T* b, size_t n) {
  return std::sqrt(l2_sq_int(a, b, n));
}

// Differing positions over the length; 0/0 (NaN) for empty vectors.
template <class T>
inline float hamming(const T* a, const T* b, size_t n) {
  uint64_t c = 0;
  for (size_t i = 0; i < n; ++i) c += a[i] != b[i];
  return static_cast<float>(c) / static_cast<float>(n);
}

// Weighted Jaccard distance of the common prefix: 1 - sum min / sum max in
// f64, then rounded to f32; +0 when sum max is 0.
template <class T>
inline float jaccard(const T* a, size_t na, const T* b, size_t nb) {
  size_t m = std::min(na, nb);
  uint64_t smin = 0, smax = 0;
  for (size_t i = 0; i < m; ++i) {
    uint64_t x = a[i], y = b[i];
    smin += std::min(x, y);
    smax += std::max(x, y);
  }
  if (smax == 0) return 0.0f;
  double q = static_cast<double>(smin) / static_cast<double>(smax);
  return static_cast<float>(1.0 - q);
}

// Unit-cost edit distance; one row of counters over the shorter sequence.
template <class T>
inline float levenshtein(const T* a, size_t na, const T* b, size_t nb) {
  const T* L = a;
  const T* S = b;
  size_t nl = na, ns = nb;
  if (nb > na) {
    std::swap(L, S);
    std::swap(nl, ns);
  }
  if (nl == 0) return 0.0f;
  if (ns == 0) return static_cast<float>(nl);
  constexpr size_t kStackRow = 256;
  uint64_t stack_row[kStackRow + 1];
  std::vector<uint64_t> heap_row;
  uint64_t* R = stack_row;
  if (ns > kStackRow) {
    heap_row.resize(ns + 1);
    R = heap_row.data();
  }
  for (size_t j = 0; j <= ns; ++j) R[j] = j;
  for (size_t i = 1; i <= nl; ++i) {
    const T x = L[i - 1];
    uint64_t diag = i - 1, left = i;
    for (size_t j = 1; j <= ns; ++j) {
      uint64_t up = R[j];
      uint64_t v = std::min({diag + (x == S[j - 1] ? 0u : 1u), left + 1, up + 1});
      R[j] = v;
      diag = up;
      left = v;
    }
  }
  return static_cast<float>(R[ns]);
}

}  // namespace vantor::dist::kernel
