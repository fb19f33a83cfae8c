// Scalar kernels over the common length n: the reference arithmetic of every
// f32 distance. The batch kernels (batch_f32.cc) reproduce them lane by lane.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>

namespace vantor::dist::kernel {

inline float l1(const float* a, const float* b, size_t n) {
  float sum = -0.0f;
  for (size_t i = 0; i < n; ++i) {
    float d = a[i] - b[i];
    sum = sum + std::fabs(d);
  }
  return sum;
}

inline float l2(const float* a, const float* b, size_t n) {
  float norm = -0.0f;
  for (size_t i = 0; i < n; ++i) {
    float d = a[i] - b[i];
    float s = d * d;
    norm = norm + s;
  }
  return std::sqrt(norm);
}

// 1 - sum, kept at or above 0: unit vectors normalised in f32 often have a
// computed self dot product slightly above 1. NaN (opposite infinities) is
// farthest.
inline float dot_finish(float sum) {
  float r = 1.0f - sum;
  if (r >= 0.0f) return r;
  return std::isnan(r) ? std::numeric_limits<float>::infinity() : 0.0f;
}

inline float dot(const float* a, const float* b, size_t n) {
  float sum = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    float p = a[i] * b[i];
    sum = sum + p;
  }
  return dot_finish(sum);
}

inline double sq_norm64(const float* a, size_t n) {
  double s = 0.0;
  for (size_t i = 0; i < n; ++i) {
    float p = a[i] * a[i];
    s = s + static_cast<double>(p);
  }
  return s;
}

inline double dot64(const float* a, const float* b, size_t n) {
  double s = 0.0;
  for (size_t i = 0; i < n; ++i) {
    float p = a[i] * b[i];
    s = s + static_cast<double>(p);
  }
  return s;
}

inline float cosine_finish(double dot, double na, double nb) {
  if (na > 0.0 && nb > 0.0) {
    double du = 1.0 - dot / std::sqrt(na * nb);
    return du > 0.0 ? static_cast<float>(du) : 0.0f;  // NaN cannot reach here on checked input
  }
  return 0.0f;
}

inline float hellinger_finish(float s) {
  float x = 1.0f - s;
  return x > 0.0f ? std::sqrt(x) : 0.0f;
}

inline float hellinger(const float* a, const float* b, size_t n) {
  float s = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    float p = a[i] * b[i];
    s = s + std::sqrt(p);
  }
  return hellinger_finish(s);
}

inline float jeffreys(const float* a, const float* b, size_t n) {
  constexpr float kFloor = 1e-30f;
  float s = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    float d = a[i] - b[i];
    float ap = std::fmax(a[i], kFloor);
    float bp = std::fmax(b[i], kFloor);
    float q = ap / bp;
    float t = logf(q) * d;
    s = t + s;
  }
  return s;
}

inline float jensen_shannon(const float* a, const float* b, size_t n) {
  float s = 0.0f;
  for (size_t i = 0; i < n; ++i) {
    float m = (a[i] + b[i]) * 0.5f;
    if (a[i] > 0.0f) {
      float q = a[i] / m;
      float t = logf(q) * a[i];
      s = s + t;
    }
    if (b[i] > 0.0f) {
      float q = b[i] / m;
      float t = logf(q) * b[i];
      s = s + t;
    }
  }
  // Rounding can leave S a few ulps below 0 for nearly equal vectors.
  if (!(s > 0.0f)) return 0.0f;
  float h = s * 0.5f;
  return std::sqrt(h);
}

}  // namespace vantor::dist::kernel
