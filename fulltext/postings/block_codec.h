// Blocks of 128 u32 values bit-packed in the four-lane layout that every
// postings and positions block uses:
//   value i belongs to lane i % 4 as that lane's value number i / 4; each
//   lane is a little-endian bit stream of 32 * w bits held in w 32-bit words
//   (value k at bits k*w .. k*w + w - 1, straddling words low bits first);
//   word j of lane l is stored little-endian at byte 16*j + 4*l.
// A block of width w is exactly 16 * w bytes; width 0 stores nothing.
//
// The sorted form packs differences: d[i] = v[i] - v[i-1] - 1, the first
// against a given previous value. "No previous value" is the previous value
// 0xFFFFFFFF (u32 arithmetic), which makes d[0] the first value itself.
//
// Two implementations produce identical bytes: a vector kernel (taken when
// the processor has AVX2) and a portable scalar one.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fendral::postings {

constexpr size_t kBlockLen = 128;
constexpr size_t kMaxBlockBytes = 16 * 32;
constexpr uint32_t kNoPrevious = 0xFFFFFFFFu;

// Number of significant bits of v (0 for 0).
uint8_t num_bits_u32(uint32_t v);

// Packs 128 values; returns the width (significant bits of their OR). `out`
// receives 16 * width bytes and must hold kMaxBlockBytes.
uint8_t pack_block(const uint32_t* values, uint8_t* out);

// Packs the strictly increasing values as differences minus one against
// `previous` (kNoPrevious for none). Contract: strictly increasing, and the
// first above `previous` when one is given.
uint8_t pack_block_sorted(const uint32_t* values, uint32_t previous, uint8_t* out);

// Decodes 128 values of `width` (0..32) from 16 * width bytes.
void unpack_block(const uint8_t* in, uint8_t width, uint32_t* out);

// Decodes packed differences and turns them into values:
// out[i] = out[i-1] + d[i] + step, out[-1] = base (u32 arithmetic).
// step 1 with base kNoPrevious decodes pack_block_sorted without previous.
void unpack_block_running(const uint8_t* in, uint8_t width, uint32_t base, uint32_t step, uint32_t* out);

namespace detail {
bool vector_kernel_available();
// Kernel selection for tests; the public functions use the vector kernel
// when available.
void pack_scalar(const uint32_t* values, uint8_t width, uint8_t* out);
void unpack_scalar(const uint8_t* in, uint8_t width, uint32_t* out);
void pack_vector(const uint32_t* values, uint8_t width, uint8_t* out);
void unpack_vector(const uint8_t* in, uint8_t width, uint32_t* out);
void running_sum_vector(uint32_t* values, uint32_t base, uint32_t step);
}  // namespace detail

}  // namespace fendral::postings
