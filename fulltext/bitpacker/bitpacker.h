// Fixed-width bit-packed runs: value i of width w occupies bits i*w to
// (i+1)*w-1 of a little-endian, least-significant-bit-first byte stream of
// ceil(n*w/8) bytes; no header, no padding. Widths are 0..56 or 64.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "fulltext/error/error.h"

namespace fendral::bitpacker {

// 0 for 0; the number of significant bits below 2^56; 64 from 2^56 on.
uint8_t bits_needed(uint64_t amplitude);

class BitPacker {
 public:
  // Appends one value. Contract: value fits in num_bits bits.
  void write(uint64_t value, uint8_t num_bits, std::vector<uint8_t>& out);
  // Writes the staged bits as ceil(staged/8) bytes and clears the state.
  void flush(std::vector<uint8_t>& out);
  void close(std::vector<uint8_t>& out) { flush(out); }

 private:
  uint64_t mini_buffer_ = 0;
  uint32_t mini_buffer_written_ = 0;
};

class BitUnpacker {
 public:
  // Widths 0..56 and 64 only; anything else is a contract violation
  // ("assertion failed: num_bits <= 7 * 8 || num_bits == 64").
  explicit BitUnpacker(uint8_t num_bits);

  uint8_t num_bits() const { return num_bits_; }
  // Value at row idx; bytes beyond the data read as 0 (nothing outside the
  // data is ever read).
  uint64_t get(uint32_t idx, std::span<const uint8_t> data) const;

  // Replaces positions with the rows r in [row_start, row_end) whose value
  // lies in [low, high], ascending. Fails with DataCorruption
  // "Requested index is out of bounds." when the data is too short.
  Result<void> get_ids_for_value_range(uint64_t low, uint64_t high, uint32_t row_start, uint32_t row_end,
                                       std::span<const uint8_t> data, std::vector<uint32_t>& positions) const;

 private:
  uint8_t num_bits_;
  uint64_t mask_;
};

namespace detail {
// Decodes 32 values of width w (<= 32) from 4*w bytes (the single-lane
// 32-value block layout, which is exactly the LSB-first stream).
void unpack32(const uint8_t* in, uint32_t num_bits, uint32_t* out);
// Compacts, in place, the row ids of values in [low, high]; returns the
// number kept. `force_scalar` bypasses the AVX2 path (tests).
size_t filter_vec_in_place(uint32_t low, uint32_t high, uint32_t start_row, uint32_t* values, size_t n,
                           bool force_scalar);
bool has_avx2();
}  // namespace detail

}  // namespace fendral::bitpacker
