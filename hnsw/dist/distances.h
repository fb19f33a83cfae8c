// Distances of the vector index over 32-bit floats, plus the caller-supplied
// distance and the distance of the graph-only index.
//
// Every kernel runs once over the compared positions in index order with one
// running sum (three for DistCosine), each arithmetic step rounded on its own:
// no fused multiply-add, no reassociation. The build uses -ffp-contract=off,
// so results are the same bits on every IEEE 754 platform.
//
// The index talks to a distance through four members:
//   check(v)      refuses a vector the distance cannot compare (before the index
//                 stores or searches with it); nullopt when acceptable.
//   aux(v)        a per-vector value cached with each point (DistCosine keeps the
//                 squared norm); recomputing it gives the same bits, so caching
//                 changes no result.
//   eval_n(...)   one pair of vectors of the common length n.
//   eval_batch()  one query against several stored vectors; lane j computes
//                 exactly what eval_n would for row j (SIMD lanes, each lane in
//                 index order), so batching changes no bit either.
// `eval(a, b)` is the distance on two sequences with their own lengths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vantor::dist {

inline constexpr std::string_view kLogTarget = "morvane::dist::distances";

struct NoAux {};

// Results outside [0, +inf] are refused by the index only for distances whose
// kernel cannot guarantee them (the caller-supplied one).
#define VANTOR_F32_DISTANCE(Type, AuxType)                                                  \
  using Elem = float;                                                                       \
  using Aux = AuxType;                                                                      \
  static constexpr bool kEvaluable = true;                                                  \
  static constexpr bool kChecked = false;                                                   \
  static constexpr std::string_view kName = #Type;                                          \
  static constexpr std::string_view kTypeName = "morvane::dist::distances::" #Type;         \
  float eval(std::span<const float> a, std::span<const float> b) const;                     \
  static std::optional<std::string> check(std::span<const float> v);                       \
  static Aux aux(const float* v, size_t n);                                                 \
  float eval_n(const float* a, Aux aa, const float* b, Aux ab, size_t n) const;             \
  void eval_batch(const float* q, Aux qa, const float* const* rows, const Aux* ra, size_t count, \
                  size_t n, float* out) const;

// Integer element types of the index.
using i32 = int32_t;
using u16 = uint16_t;
using u32 = uint32_t;
using u8 = uint8_t;

// One integer element type's members of a distance (kernels_int.h gives the
// arithmetic). Vectors of another length than the index's are refused by the
// index before any evaluation.
#define VANTOR_INT_MEMBERS(T)                                                               \
  float eval(std::span<const T> a, std::span<const T> b) const;                             \
  static std::optional<std::string> check(std::span<const T> v);                           \
  static Aux aux(const T* v, size_t n);                                                     \
  float eval_n(const T* a, Aux aa, const T* b, Aux ab, size_t n) const;                     \
  void eval_batch(const T* q, Aux qa, const T* const* rows, const Aux* ra, size_t count,    \
                  size_t n, float* out) const;

// f32: sum of absolute differences over the common prefix; starts at -0.
// Integers: the same over equal lengths, elements converted to f32 first.
struct DistL1 {
  VANTOR_F32_DISTANCE(DistL1, NoAux)
  VANTOR_INT_MEMBERS(i32) VANTOR_INT_MEMBERS(u16) VANTOR_INT_MEMBERS(u32) VANTOR_INT_MEMBERS(u8)
};
// f32: square root of the sum of squared differences over the common prefix.
// Integers: the same over equal lengths, elements converted to f32 first.
struct DistL2 {
  VANTOR_F32_DISTANCE(DistL2, NoAux)
  VANTOR_INT_MEMBERS(i32) VANTOR_INT_MEMBERS(u16) VANTOR_INT_MEMBERS(u32) VANTOR_INT_MEMBERS(u8)
};

#define VANTOR_INT_DISTANCE(Type, AuxType)                                                  \
  using Aux = AuxType;                                                                      \
  static constexpr bool kEvaluable = true;                                                  \
  static constexpr bool kChecked = false;                                                   \
  static constexpr std::string_view kName = #Type;                                          \
  static constexpr std::string_view kTypeName = "morvane::dist::distances::" #Type;

// Share of positions where the elements differ (elements, not bits), over
// equal lengths. Empty vectors would give 0/0 and are refused.
struct DistHamming {
  VANTOR_INT_DISTANCE(DistHamming, NoAux)
  VANTOR_INT_MEMBERS(i32) VANTOR_INT_MEMBERS(u16) VANTOR_INT_MEMBERS(u32) VANTOR_INT_MEMBERS(u8)
};

// What the distances of any two lengths cache per vector: its length, so
// that every evaluation sees both lengths.
struct LenAux {
  size_t len = 0;
};

// 1 - sum min / sum max over the common prefix (f64, then f32); +0 when the
// sum of maxima is 0. Takes vectors of any lengths.
struct DistJaccard {
  VANTOR_INT_DISTANCE(DistJaccard, LenAux)
  static constexpr bool kFixedLength = false;
  VANTOR_INT_MEMBERS(u16) VANTOR_INT_MEMBERS(u32) VANTOR_INT_MEMBERS(u8)
};

// Unit-cost edit distance between two sequences of 16-bit symbols, of any
// lengths.
struct DistLevenshtein {
  VANTOR_INT_DISTANCE(DistLevenshtein, LenAux)
  static constexpr bool kFixedLength = false;
  VANTOR_INT_MEMBERS(u16)
};

#undef VANTOR_INT_DISTANCE
#undef VANTOR_INT_MEMBERS
// 1 - dot product over the common prefix, for unit vectors. A result the
// rounding pushes below 0 (a unit vector against itself) is 0.
struct DistDot { VANTOR_F32_DISTANCE(DistDot, NoAux) };
// What DistCosine caches per vector: the squared norm (f32 squares summed in
// f64), and the smallest non-zero component magnitude (+inf when none), which
// bounds the products' rounding so that most dot products can be summed in
// SIMD order with the very same result (see batch::dot64_rows).
struct CosineAux {
  double sq_norm = 0.0;
  float min_abs = 0.0f;
};

// 1 - cos, products rounded to f32 and summed in f64; 0 when a norm is 0.
// Vectors of unequal length are incomparable: +inf.
struct DistCosine { VANTOR_F32_DISTANCE(DistCosine, CosineAux) };
// sqrt(max(1 - sum sqrt(a_i b_i), 0)) over the common prefix.
struct DistHellinger { VANTOR_F32_DISTANCE(DistHellinger, NoAux) };
// sum (a_i - b_i) ln(max(a_i,1e-30)/max(b_i,1e-30)) over the common prefix.
struct DistJeffreys { VANTOR_F32_DISTANCE(DistJeffreys, NoAux) };
// sqrt(S / 2) of the Kullback-Leibler terms against the mixture; a rounding
// residue below 0 gives 0; unequal lengths give +inf.
struct DistJensenShannon { VANTOR_F32_DISTANCE(DistJensenShannon, NoAux) };

#undef VANTOR_F32_DISTANCE

// The caller's function: (first vector, second vector, element count of the
// first) -> distance. It must be thread-safe, symmetric and give numbers >= 0;
// the index refuses an operation that meets any other value.
template <class T>
using DistFn = float (*)(const T*, const T*, uint64_t);

template <class T>
struct ElemName;
template <> struct ElemName<float> { static constexpr std::string_view value = "f32"; };
template <> struct ElemName<i32> { static constexpr std::string_view value = "i32"; };
template <> struct ElemName<u16> { static constexpr std::string_view value = "u16"; };
template <> struct ElemName<u32> { static constexpr std::string_view value = "u32"; };
template <> struct ElemName<u8> { static constexpr std::string_view value = "u8"; };

template <class T>
struct DistCFFI {
  using Elem = T;
  using Aux = NoAux;
  static constexpr bool kEvaluable = true;
  static constexpr bool kChecked = true;
  static constexpr std::string_view kName = "DistCFFI";
  static std::string type_name() {
    return std::string("morvane::dist::distances::DistCFFI<") + std::string(ElemName<T>::value) + ">";
  }

  DistFn<T> fn = nullptr;

  float eval(std::span<const T> a, std::span<const T> b) const;
  static std::optional<std::string> check(std::span<const T>) { return std::nullopt; }
  static Aux aux(const T*, size_t) { return {}; }
  float eval_n(const T* a, Aux, const T* b, Aux, size_t n) const;
  void eval_batch(const T* q, Aux, const T* const* rows, const Aux*, size_t count, size_t n,
                  float* out) const {
    for (size_t j = 0; j < count; ++j) out[j] = eval_n(q, {}, rows[j], {}, n);
  }
};

// Element type of the graph-only index: a vector of NoData has a length and
// no values.
struct NoData {};
template <> struct ElemName<NoData> { static constexpr std::string_view value = "vantor::hnsw::NoData"; };

// Distance of the graph-only index. It cannot be evaluated: every operation
// that would need it is refused with "cannot call distance with NoDist".
struct NoDist {
  using Elem = NoData;
  using Aux = NoAux;
  static constexpr bool kEvaluable = false;
  static constexpr bool kChecked = true;
  static constexpr std::string_view kName = "NoDist";
  static constexpr std::string_view kTypeName = "morvane::dist::distances::NoDist";
  static constexpr std::string_view kRefusal = "cannot call distance with NoDist";
  static std::optional<std::string> check(std::span<const NoData>) { return std::nullopt; }
  static Aux aux(const NoData*, size_t) { return {}; }
  // Writes the error record; the caller refuses the operation.
  static void report_refusal();
  float eval_n(const NoData*, Aux, const NoData*, Aux, size_t) const { return 0.0f; }
  void eval_batch(const NoData*, Aux, const NoData* const*, const Aux*, size_t, size_t, float*) const {}
};

// Whether every vector of an index with distance D has the index's length.
template <class D>
constexpr bool fixed_length() {
  if constexpr (requires { D::kFixedLength; }) {
    return D::kFixedLength;
  } else {
    return true;
  }
}

// Full type-name string of a distance, as logged at construction.
template <class D>
std::string type_name_of(const D&) {
  if constexpr (requires { D::type_name(); }) {
    return D::type_name();
  } else {
    return std::string(D::kTypeName);
  }
}

}  // namespace vantor::dist
