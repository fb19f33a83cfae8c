#include "fulltext/postings/block_codec.h"

#include <bit>
#include <cstring>

#include "fulltext/bitpacker/bitpacker.h"

namespace fendral::postings {

uint8_t num_bits_u32(uint32_t v) { return static_cast<uint8_t>(32 - std::countl_zero(v)); }

namespace detail {

bool vector_kernel_available() {
#if defined(__x86_64__)
  return bitpacker::detail::has_avx2();
#else
  return false;
#endif
}

static inline void store_le32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

static inline uint32_t load_le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void pack_scalar(const uint32_t* values, uint8_t width, uint8_t* out) {
  if (width == 0) return;
  for (uint32_t lane = 0; lane < 4; ++lane) {
    uint32_t words[32] = {};
    for (uint32_t k = 0; k < 32; ++k) {
      uint64_t v = values[4 * k + lane];
      uint32_t bit = k * width;
      uint32_t w = bit / 32, shift = bit % 32;
      words[w] |= static_cast<uint32_t>(v << shift);
      if (shift + width > 32) words[w + 1] |= static_cast<uint32_t>(v >> (32 - shift));
    }
    for (uint32_t w = 0; w < width; ++w) store_le32(out + 16 * w + 4 * lane, words[w]);
  }
}

void unpack_scalar(const uint8_t* in, uint8_t width, uint32_t* out) {
  if (width == 0) {
    std::memset(out, 0, kBlockLen * sizeof(uint32_t));
    return;
  }
  const uint64_t mask = width == 32 ? 0xFFFFFFFFull : (uint64_t{1} << width) - 1;
  for (uint32_t lane = 0; lane < 4; ++lane) {
    for (uint32_t k = 0; k < 32; ++k) {
      uint32_t bit = k * width;
      uint32_t w = bit / 32, shift = bit % 32;
      uint64_t word = load_le32(in + 16 * w + 4 * lane);
      if (shift + width > 32) word |= uint64_t{load_le32(in + 16 * (w + 1) + 4 * lane)} << 32;
      out[4 * k + lane] = static_cast<uint32_t>((word >> shift) & mask);
    }
  }
}

static void running_sum_scalar(uint32_t* values, uint32_t base, uint32_t step) {
  uint32_t acc = base;
  for (size_t i = 0; i < kBlockLen; ++i) {
    acc += values[i] + step;
    values[i] = acc;
  }
}

}  // namespace detail

static void pack(const uint32_t* values, uint8_t width, uint8_t* out) {
  if (detail::vector_kernel_available()) {
    detail::pack_vector(values, width, out);
  } else {
    detail::pack_scalar(values, width, out);
  }
}

uint8_t pack_block(const uint32_t* values, uint8_t* out) {
  uint32_t acc = 0;
  for (size_t i = 0; i < kBlockLen; ++i) acc |= values[i];
  uint8_t width = num_bits_u32(acc);
  pack(values, width, out);
  return width;
}

uint8_t pack_block_sorted(const uint32_t* values, uint32_t previous, uint8_t* out) {
  uint32_t deltas[kBlockLen];
  uint32_t acc = 0;
  for (size_t i = 0; i < kBlockLen; ++i) {
    deltas[i] = values[i] - previous - 1;
    previous = values[i];
    acc |= deltas[i];
  }
  uint8_t width = num_bits_u32(acc);
  pack(deltas, width, out);
  return width;
}

void unpack_block(const uint8_t* in, uint8_t width, uint32_t* out) {
  if (detail::vector_kernel_available()) {
    detail::unpack_vector(in, width, out);
  } else {
    detail::unpack_scalar(in, width, out);
  }
}

void unpack_block_running(const uint8_t* in, uint8_t width, uint32_t base, uint32_t step, uint32_t* out) {
  if (detail::vector_kernel_available()) {
    detail::unpack_vector(in, width, out);
    detail::running_sum_vector(out, base, step);
  } else {
    detail::unpack_scalar(in, width, out);
    detail::running_sum_scalar(out, base, step);
  }
}

}  // namespace fendral::postings
