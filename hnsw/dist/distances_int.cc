// The distances' members over integer elements.
#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "hnsw/dist/batch_f32.h"
#include "hnsw/dist/batch_groups.h"
#include "hnsw/dist/batch_int.h"
#include "hnsw/dist/distances.h"
#include "hnsw/dist/kernels_int.h"

namespace vantor::dist {

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

float identity(float x) { return x; }
float sqrt_f(float x) { return std::sqrt(x); }

}  // namespace

// Unequal lengths have no defined distance; the index refuses such vectors
// before they meet a kernel, and a direct evaluation gives NaN.
#define VANTOR_FIXED_LENGTH_EVAL(Type, T, scalar)                                                     \
  float Type::eval(std::span<const T> a, std::span<const T> b) const {                                \
    if (a.size() != b.size()) return kNaN;                                                            \
    return scalar(a.data(), b.data(), a.size());                                                      \
  }                                                                                                   \
  Type::Aux Type::aux(const T*, size_t) { return {}; }                                                \
  float Type::eval_n(const T* a, Aux, const T* b, Aux, size_t n) const { return scalar(a, b, n); }

#define VANTOR_L1_L2(T)                                                                               \
  VANTOR_FIXED_LENGTH_EVAL(DistL1, T, kernel::l1_int<T>)                                              \
  std::optional<std::string> DistL1::check(std::span<const T>) { return std::nullopt; }               \
  void DistL1::eval_batch(const T* q, Aux, const T* const* rows, const Aux*, size_t count, size_t n,  \
                          float* out) const {                                                         \
    batch::in_groups(batch::l1_int<T>, identity, q, rows, count, n, out);                                    \
  }                                                                                                   \
  VANTOR_FIXED_LENGTH_EVAL(DistL2, T, kernel::l2_int<T>)                                              \
  std::optional<std::string> DistL2::check(std::span<const T>) { return std::nullopt; }               \
  void DistL2::eval_batch(const T* q, Aux, const T* const* rows, const Aux*, size_t count, size_t n,  \
                          float* out) const {                                                         \
    batch::in_groups(batch::l2_sq_int<T>, sqrt_f, q, rows, count, n, out);                                   \
  }                                                                                                   \
  VANTOR_FIXED_LENGTH_EVAL(DistHamming, T, kernel::hamming<T>)                                        \
  std::optional<std::string> DistHamming::check(std::span<const T> v) {                               \
    if (v.empty()) return std::string("DistHamming cannot compare empty vectors");                    \
    return std::nullopt;                                                                              \
  }                                                                                                   \
  void DistHamming::eval_batch(const T* q, Aux, const T* const* rows, const Aux*, size_t count,       \
                               size_t n, float* out) const {                                          \
    for (size_t j = 0; j < count; ++j) out[j] = kernel::hamming(q, rows[j], n);                       \
  }

VANTOR_L1_L2(i32)
VANTOR_L1_L2(u16)
VANTOR_L1_L2(u32)
VANTOR_L1_L2(u8)

// Distances of any two lengths: each vector's length travels in its Aux.
#define VANTOR_ANY_LENGTH(Type, T, scalar)                                                           \
  float Type::eval(std::span<const T> a, std::span<const T> b) const {                               \
    return scalar(a.data(), a.size(), b.data(), b.size());                                           \
  }                                                                                                  \
  std::optional<std::string> Type::check(std::span<const T>) { return std::nullopt; }                \
  Type::Aux Type::aux(const T*, size_t n) { return Aux{n}; }                                         \
  float Type::eval_n(const T* a, Aux aa, const T* b, Aux ab, size_t) const {                         \
    return scalar(a, aa.len, b, ab.len);                                                             \
  }                                                                                                  \
  void Type::eval_batch(const T* q, Aux qa, const T* const* rows, const Aux* ra, size_t count,        \
                        size_t, float* out) const {                                                  \
    for (size_t j = 0; j < count; ++j) out[j] = scalar(q, qa.len, rows[j], ra[j].len);               \
  }

VANTOR_ANY_LENGTH(DistJaccard, u16, kernel::jaccard<u16>)
VANTOR_ANY_LENGTH(DistJaccard, u32, kernel::jaccard<u32>)
VANTOR_ANY_LENGTH(DistJaccard, u8, kernel::jaccard<u8>)
VANTOR_ANY_LENGTH(DistLevenshtein, u16, kernel::levenshtein<u16>)

}  // namespace vantor::dist
