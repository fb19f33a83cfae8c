#include "hnsw/dist/distances.h"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "common/float_text.h"
#include "common/log.h"
#include "hnsw/dist/batch_f32.h"
#include "hnsw/dist/batch_groups.h"
#include "hnsw/dist/kernels.h"

namespace vantor::dist {

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

std::optional<std::string> check_finite(std::span<const float> v) {
  for (size_t i = 0; i < v.size(); ++i) {
    if (!std::isfinite(v[i])) {
      return fmt::format("vector component {} is not a finite number", i);
    }
  }
  return std::nullopt;
}

// Probability-like vectors: finite and not negative.
std::optional<std::string> check_non_negative(std::span<const float> v) {
  if (auto e = check_finite(v)) return e;
  for (size_t i = 0; i < v.size(); ++i) {
    if (v[i] < 0.0f) return fmt::format("vector component {} is negative", i);
  }
  return std::nullopt;
}

float identity(float x) { return x; }
float sqrt_f(float x) { return std::sqrt(x); }

}  // namespace

// ---- DistL1 ----------------------------------------------------------------
float DistL1::eval(std::span<const float> a, std::span<const float> b) const {
  return kernel::l1(a.data(), b.data(), std::min(a.size(), b.size()));
}
std::optional<std::string> DistL1::check(std::span<const float> v) { return check_finite(v); }
DistL1::Aux DistL1::aux(const float*, size_t) { return {}; }
float DistL1::eval_n(const float* a, Aux, const float* b, Aux, size_t n) const { return kernel::l1(a, b, n); }
void DistL1::eval_batch(const float* q, Aux, const float* const* rows, const Aux*, size_t count, size_t n,
                        float* out) const {
  batch::in_groups(batch::l1, identity, q, rows, count, n, out);
}

// ---- DistL2 ----------------------------------------------------------------
float DistL2::eval(std::span<const float> a, std::span<const float> b) const {
  return kernel::l2(a.data(), b.data(), std::min(a.size(), b.size()));
}
std::optional<std::string> DistL2::check(std::span<const float> v) { return check_finite(v); }
DistL2::Aux DistL2::aux(const float*, size_t) { return {}; }
float DistL2::eval_n(const float* a, Aux, const float* b, Aux, size_t n) const { return kernel::l2(a, b, n); }
void DistL2::eval_batch(const float* q, Aux, const float* const* rows, const Aux*, size_t count, size_t n,
                        float* out) const {
  batch::in_groups(batch::l2_sq, sqrt_f, q, rows, count, n, out);
}

// ---- DistDot ---------------------------------------------------------------
float DistDot::eval(std::span<const float> a, std::span<const float> b) const {
  return kernel::dot(a.data(), b.data(), std::min(a.size(), b.size()));
}
std::optional<std::string> DistDot::check(std::span<const float> v) { return check_finite(v); }
DistDot::Aux DistDot::aux(const float*, size_t) { return {}; }
float DistDot::eval_n(const float* a, Aux, const float* b, Aux, size_t n) const { return kernel::dot(a, b, n); }
void DistDot::eval_batch(const float* q, Aux, const float* const* rows, const Aux*, size_t count, size_t n,
                         float* out) const {
  batch::in_groups(batch::dot, kernel::dot_finish, q, rows, count, n, out);
}

// ---- DistCosine ------------------------------------------------------------
float DistCosine::eval(std::span<const float> a, std::span<const float> b) const {
  if (a.size() != b.size()) return kInf;
  size_t n = a.size();
  return kernel::cosine_finish(kernel::dot64(a.data(), b.data(), n), kernel::sq_norm64(a.data(), n),
                               kernel::sq_norm64(b.data(), n));
}
// Besides finiteness, a component whose square overflows f32 would make the
// cosine NaN; such vectors are refused.
std::optional<std::string> DistCosine::check(std::span<const float> v) {
  if (auto e = check_finite(v)) return e;
  for (size_t i = 0; i < v.size(); ++i) {
    float s = v[i] * v[i];
    if (!std::isfinite(s)) return fmt::format("vector component {} is too large for DistCosine", i);
  }
  return std::nullopt;
}
DistCosine::Aux DistCosine::aux(const float* v, size_t n) {
  return CosineAux{kernel::sq_norm64(v, n), batch::min_abs_nonzero(v, n)};
}
float DistCosine::eval_n(const float* a, Aux aa, const float* b, Aux ab, size_t n) const {
  double dot = batch::order_free(aa.sq_norm, aa.min_abs, ab.sq_norm, ab.min_abs) ? batch::dot64_free(a, b, n)
                                                                                 : batch::dot64_one(a, b, n);
  return kernel::cosine_finish(dot, aa.sq_norm, ab.sq_norm);
}
void DistCosine::eval_batch(const float* q, Aux qa, const float* const* rows, const Aux* ra, size_t count,
                            size_t n, float* out) const {
  for (size_t j = 0; j < count; ++j) {
    if (j + 1 < count) {
      for (size_t o = 0; o < n; o += 16) __builtin_prefetch(rows[j + 1] + o);
    }
    const Aux& r = ra[j];
    double dot = batch::order_free(qa.sq_norm, qa.min_abs, r.sq_norm, r.min_abs) ? batch::dot64_free(q, rows[j], n)
                                                                                 : batch::dot64_one(q, rows[j], n);
    out[j] = kernel::cosine_finish(dot, qa.sq_norm, r.sq_norm);
  }
}

// ---- DistHellinger ---------------------------------------------------------
float DistHellinger::eval(std::span<const float> a, std::span<const float> b) const {
  return kernel::hellinger(a.data(), b.data(), std::min(a.size(), b.size()));
}
std::optional<std::string> DistHellinger::check(std::span<const float> v) { return check_non_negative(v); }
DistHellinger::Aux DistHellinger::aux(const float*, size_t) { return {}; }
float DistHellinger::eval_n(const float* a, Aux, const float* b, Aux, size_t n) const {
  return kernel::hellinger(a, b, n);
}
void DistHellinger::eval_batch(const float* q, Aux, const float* const* rows, const Aux*, size_t count,
                               size_t n, float* out) const {
  batch::in_groups(batch::sqrt_products, kernel::hellinger_finish, q, rows, count, n, out);
}

// ---- DistJeffreys ----------------------------------------------------------
float DistJeffreys::eval(std::span<const float> a, std::span<const float> b) const {
  return kernel::jeffreys(a.data(), b.data(), std::min(a.size(), b.size()));
}
std::optional<std::string> DistJeffreys::check(std::span<const float> v) { return check_finite(v); }
DistJeffreys::Aux DistJeffreys::aux(const float*, size_t) { return {}; }
float DistJeffreys::eval_n(const float* a, Aux, const float* b, Aux, size_t n) const {
  return kernel::jeffreys(a, b, n);
}
void DistJeffreys::eval_batch(const float* q, Aux, const float* const* rows, const Aux*, size_t count,
                              size_t n, float* out) const {
  for (size_t j = 0; j < count; ++j) out[j] = kernel::jeffreys(q, rows[j], n);
}

// ---- DistJensenShannon -----------------------------------------------------
float DistJensenShannon::eval(std::span<const float> a, std::span<const float> b) const {
  if (a.size() != b.size()) return kInf;
  return kernel::jensen_shannon(a.data(), b.data(), a.size());
}
std::optional<std::string> DistJensenShannon::check(std::span<const float> v) {
  return check_non_negative(v);
}
DistJensenShannon::Aux DistJensenShannon::aux(const float*, size_t) { return {}; }
float DistJensenShannon::eval_n(const float* a, Aux, const float* b, Aux, size_t n) const {
  return kernel::jensen_shannon(a, b, n);
}
void DistJensenShannon::eval_batch(const float* q, Aux, const float* const* rows, const Aux*, size_t count,
                                   size_t n, float* out) const {
  for (size_t j = 0; j < count; ++j) out[j] = kernel::jensen_shannon(q, rows[j], n);
}

// ---- DistCFFI ----------------------------------------------------------------
template <class T>
float DistCFFI<T>::eval_n(const T* a, Aux, const T* b, Aux, size_t n) const {
  float d = fn(a, b, static_cast<uint64_t>(n));
  if (zudizid::log::enabled(zudizid::log::Level::Trace)) {
    zudizid::log::write(zudizid::log::Level::Trace, kLogTarget,
                        fmt::format("DistCFFI dist_function_ptr {:#x} returning {} ",
                                    reinterpret_cast<uintptr_t>(fn), zudizid::common::float32_debug(d)));
  }
  return d;
}
template <class T>
float DistCFFI<T>::eval(std::span<const T> a, std::span<const T> b) const {
  return eval_n(a.data(), {}, b.data(), {}, a.size());
}
template struct DistCFFI<float>;
template struct DistCFFI<i32>;
template struct DistCFFI<u16>;
template struct DistCFFI<u32>;
template struct DistCFFI<u8>;

// ---- NoDist ------------------------------------------------------------------
void NoDist::report_refusal() {
  ZLOG(Error, kLogTarget, "panic error : cannot call eval on NoDist");
}

}  // namespace vantor::dist
