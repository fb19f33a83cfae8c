// Vector kernels of the 128-value block codec. This file is compiled for
// AVX2; its functions run only after vector_kernel_available() said yes.
// One register holds the four lanes' words, so the four lanes are packed in
// lock step; the width is a template parameter so every shift is constant.
#include "fulltext/postings/block_codec.h"

#include <array>
#include <cstring>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace fendral::postings::detail {

#if defined(__x86_64__)

namespace {

template <int W>
void pack_w(const uint32_t* values, uint8_t* out) {
  if constexpr (W == 0) {
    return;
  } else if constexpr (W == 32) {
    std::memcpy(out, values, 512);
  } else {
    const __m128i* in = reinterpret_cast<const __m128i*>(values);
    __m128i* dst = reinterpret_cast<__m128i*>(out);
    __m128i acc = _mm_setzero_si128();
#pragma GCC unroll 32
    for (int k = 0; k < 32; ++k) {
      const int bit = k * W;
      const int shift = bit % 32;
      __m128i v = _mm_loadu_si128(in + k);
      acc = _mm_or_si128(acc, _mm_slli_epi32(v, shift));
      if (shift + W >= 32) {
        _mm_storeu_si128(dst + bit / 32, acc);
        acc = shift + W > 32 ? _mm_srli_epi32(v, 32 - shift) : _mm_setzero_si128();
      }
    }
  }
}

template <int W>
void unpack_w(const uint8_t* in, uint32_t* out) {
  __m128i* dst = reinterpret_cast<__m128i*>(out);
  if constexpr (W == 0) {
    std::memset(out, 0, 512);
  } else if constexpr (W == 32) {
    std::memcpy(out, in, 512);
  } else {
    const __m128i* src = reinterpret_cast<const __m128i*>(in);
    const __m128i mask = _mm_set1_epi32((1u << W) - 1);
#pragma GCC unroll 32
    for (int k = 0; k < 32; ++k) {
      const int bit = k * W;
      const int shift = bit % 32;
      __m128i word = _mm_loadu_si128(src + bit / 32);
      __m128i v = _mm_srli_epi32(word, shift);
      if (shift + W > 32) {
        __m128i next = _mm_loadu_si128(src + bit / 32 + 1);
        v = _mm_or_si128(v, _mm_slli_epi32(next, 32 - shift));
      }
      _mm_storeu_si128(dst + k, _mm_and_si128(v, mask));
    }
  }
}

using PackFn = void (*)(const uint32_t*, uint8_t*);
using UnpackFn = void (*)(const uint8_t*, uint32_t*);

template <size_t... W>
constexpr std::array<PackFn, 33> pack_table(std::index_sequence<W...>) {
  return {&pack_w<static_cast<int>(W)>...};
}
template <size_t... W>
constexpr std::array<UnpackFn, 33> unpack_table(std::index_sequence<W...>) {
  return {&unpack_w<static_cast<int>(W)>...};
}

constexpr auto kPack = pack_table(std::make_index_sequence<33>());
constexpr auto kUnpack = unpack_table(std::make_index_sequence<33>());

}  // namespace

void pack_vector(const uint32_t* values, uint8_t width, uint8_t* out) { kPack[width](values, out); }

void unpack_vector(const uint8_t* in, uint8_t width, uint32_t* out) { kUnpack[width](in, out); }

void running_sum_vector(uint32_t* values, uint32_t base, uint32_t step) {
  __m128i* v = reinterpret_cast<__m128i*>(values);
  const __m128i add = _mm_set1_epi32(static_cast<int>(step));
  __m128i carry = _mm_set1_epi32(static_cast<int>(base));
  for (int k = 0; k < 32; ++k) {
    __m128i x = _mm_add_epi32(_mm_loadu_si128(v + k), add);
    x = _mm_add_epi32(x, _mm_slli_si128(x, 4));
    x = _mm_add_epi32(x, _mm_slli_si128(x, 8));
    x = _mm_add_epi32(x, carry);
    _mm_storeu_si128(v + k, x);
    carry = _mm_shuffle_epi32(x, 0xFF);
  }
}

#else

void pack_vector(const uint32_t* values, uint8_t width, uint8_t* out) { pack_scalar(values, width, out); }
void unpack_vector(const uint8_t* in, uint8_t width, uint32_t* out) { unpack_scalar(in, width, out); }
void running_sum_vector(uint32_t* values, uint32_t base, uint32_t step) {
  uint32_t acc = base;
  for (size_t i = 0; i < kBlockLen; ++i) values[i] = acc += values[i] + step;
}

#endif

}  // namespace fendral::postings::detail
