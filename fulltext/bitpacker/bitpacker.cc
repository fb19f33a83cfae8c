#include "fulltext/bitpacker/bitpacker.h"

#include <array>
#include <atomic>
#include <bit>
#include <cstring>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace fendral::bitpacker {

uint8_t bits_needed(uint64_t amplitude) {
  if (amplitude == 0) return 0;
  if (amplitude >= (uint64_t{1} << 56)) return 64;
  return static_cast<uint8_t>(64 - std::countl_zero(amplitude));
}

static void push_le64(std::vector<uint8_t>& out, uint64_t v) {
  uint8_t b[8];
  for (int i = 0; i < 8; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
  out.insert(out.end(), b, b + 8);
}

void BitPacker::write(uint64_t value, uint8_t num_bits, std::vector<uint8_t>& out) {
  uint32_t total = mini_buffer_written_ + num_bits;
  if (mini_buffer_written_ < 64) mini_buffer_ |= value << mini_buffer_written_;
  if (total > 64) {
    push_le64(out, mini_buffer_);
    mini_buffer_ = value >> (64 - mini_buffer_written_);
    mini_buffer_written_ = total - 64;
  } else if (total == 64) {
    push_le64(out, mini_buffer_);
    mini_buffer_ = 0;
    mini_buffer_written_ = 0;
  } else {
    mini_buffer_written_ = total;
  }
}

void BitPacker::flush(std::vector<uint8_t>& out) {
  if (mini_buffer_written_ > 0) {
    uint32_t nbytes = (mini_buffer_written_ + 7) / 8;
    for (uint32_t i = 0; i < nbytes; ++i) out.push_back(static_cast<uint8_t>(mini_buffer_ >> (8 * i)));
    mini_buffer_ = 0;
    mini_buffer_written_ = 0;
  }
}

BitUnpacker::BitUnpacker(uint8_t num_bits) : num_bits_(num_bits) {
  if (!(num_bits <= 56 || num_bits == 64)) contract_violation("assertion failed: num_bits <= 7 * 8 || num_bits == 64");
  mask_ = num_bits == 64 ? ~uint64_t{0} : (uint64_t{1} << num_bits) - 1;
}

uint64_t BitUnpacker::get(uint32_t idx, std::span<const uint8_t> data) const {
  if (num_bits_ == 0) return 0;
  uint64_t addr = uint64_t{idx} * num_bits_;
  uint64_t byte = addr / 8;
  uint32_t shift = static_cast<uint32_t>(addr % 8);
  uint64_t word = 0;
  if (byte + 8 <= data.size()) {
    std::memcpy(&word, data.data() + byte, 8);
  } else if (byte < data.size()) {
    std::memcpy(&word, data.data() + byte, data.size() - byte);
  }
  return (word >> shift) & mask_;
}

namespace detail {

void unpack32(const uint8_t* in, uint32_t num_bits, uint32_t* out) {
  if (num_bits == 0) {
    std::memset(out, 0, 32 * sizeof(uint32_t));
    return;
  }
  const uint64_t mask = num_bits == 32 ? 0xFFFFFFFFull : (uint64_t{1} << num_bits) - 1;
  // 32 values of w bits are exactly 4*w bytes; read them with bounded loads.
  const size_t nbytes = 4 * size_t{num_bits};
  for (uint32_t i = 0; i < 32; ++i) {
    uint64_t bit = uint64_t{i} * num_bits;
    size_t byte = bit / 8;
    uint64_t word = 0;
    std::memcpy(&word, in + byte, std::min<size_t>(8, nbytes - byte));
    out[i] = static_cast<uint32_t>((word >> (bit % 8)) & mask);
  }
}

// Lane table: entry m lists the indices of the set bits of m in increasing
// order, padded with 0.
static const std::array<std::array<uint32_t, 8>, 256>& lane_table() {
  static const auto table = [] {
    std::array<std::array<uint32_t, 8>, 256> t{};
    for (uint32_t m = 0; m < 256; ++m) {
      uint32_t k = 0;
      for (uint32_t b = 0; b < 8; ++b) {
        if (m & (1u << b)) t[m][k++] = b;
      }
    }
    return t;
  }();
  return table;
}

static std::atomic<uint8_t> g_avx2{0};  // 0 unknown, 1 present, 2 absent

bool has_avx2() {
  uint8_t v = g_avx2.load(std::memory_order_relaxed);
  if (v == 0) {
#if defined(__x86_64__)
    __builtin_cpu_init();
    v = __builtin_cpu_supports("avx2") ? 1 : 2;
#else
    v = 2;
#endif
    g_avx2.store(v, std::memory_order_relaxed);
  }
  return v == 1;
}

static size_t filter_scalar(uint32_t low, uint32_t high, uint32_t start_row, uint32_t* values, size_t from, size_t n,
                            size_t out) {
  for (size_t i = from; i < n; ++i) {
    uint32_t v = values[i];
    values[out] = start_row + static_cast<uint32_t>(i);
    out += (v >= low && v <= high) ? 1 : 0;
  }
  return out;
}

#if defined(__x86_64__)
__attribute__((target("avx2"))) static size_t filter_avx2(uint32_t low, uint32_t high, uint32_t start_row,
                                                           uint32_t* values, size_t n) {
  const auto& table = lane_table();
  // Unsigned comparison through the sign-flip trick.
  const __m256i flip = _mm256_set1_epi32(static_cast<int>(0x80000000u));
  const __m256i lo = _mm256_xor_si256(_mm256_set1_epi32(static_cast<int>(low)), flip);
  const __m256i hi = _mm256_xor_si256(_mm256_set1_epi32(static_cast<int>(high)), flip);
  const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  size_t out = 0;
  size_t groups = n / 8;
  for (size_t g = 0; g < groups; ++g) {
    __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + g * 8));
    __m256i vf = _mm256_xor_si256(v, flip);
    // outside = v < low || v > high
    __m256i below = _mm256_cmpgt_epi32(lo, vf);
    __m256i above = _mm256_cmpgt_epi32(vf, hi);
    __m256i outside = _mm256_or_si256(below, above);
    uint32_t mask = ~static_cast<uint32_t>(_mm256_movemask_ps(_mm256_castsi256_ps(outside))) & 0xFF;
    __m256i ids = _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(start_row + g * 8)), lanes);
    __m256i perm = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(table[mask].data()));
    __m256i packed = _mm256_permutevar8x32_epi32(ids, perm);
    // out <= g*8, so the store never overtakes values not yet loaded.
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(values + out), packed);
    out += std::popcount(mask);
  }
  return filter_scalar(low, high, start_row, values, groups * 8, n, out);
}
#endif

size_t filter_vec_in_place(uint32_t low, uint32_t high, uint32_t start_row, uint32_t* values, size_t n,
                           bool force_scalar) {
#if defined(__x86_64__)
  if (!force_scalar && has_avx2()) return filter_avx2(low, high, start_row, values, n);
#endif
  return filter_scalar(low, high, start_row, values, 0, n, 0);
}

}  // namespace detail

Result<void> BitUnpacker::get_ids_for_value_range(uint64_t low, uint64_t high, uint32_t row_start, uint32_t row_end,
                                                  std::span<const uint8_t> data,
                                                  std::vector<uint32_t>& positions) const {
  uint32_t count = row_end > row_start ? row_end - row_start : 0;
  if (num_bits_ > 32) {
    positions.clear();
    for (uint32_t r = row_start; r < row_end; ++r) {
      uint64_t v = get(r, data);
      if (v >= low && v <= high) positions.push_back(r);
    }
    return {};
  }
  if (low > 0xFFFFFFFFull) {
    positions.clear();
    return {};
  }
  if (high > 0xFFFFFFFFull) high = 0xFFFFFFFFull;
  uint64_t needed_bits = (uint64_t{row_start} + count) * num_bits_;
  if (data.size() < (needed_bits + 7) / 8) {
    positions.clear();
    return fail(FendralError::data_corruption(std::nullopt, "Requested index is out of bounds."));
  }
  positions.assign(count, 0);
  uint32_t* out = positions.data();
  uint32_t head = 8 - (row_start % 8);
  if (count < 40 - (row_start % 8)) {
    for (uint32_t i = 0; i < count; ++i) out[i] = static_cast<uint32_t>(get(row_start + i, data));
  } else {
    for (uint32_t i = 0; i < head; ++i) out[i] = static_cast<uint32_t>(get(row_start + i, data));
    uint32_t groups = (count - head) / 32;
    uint32_t row = row_start + head;  // a multiple of 8: byte aligned
    for (uint32_t g = 0; g < groups; ++g) {
      size_t byte = size_t{row} * num_bits_ / 8;
      detail::unpack32(data.data() + byte, num_bits_, out + (row - row_start));
      row += 32;
    }
    for (; row < row_start + count; ++row) out[row - row_start] = static_cast<uint32_t>(get(row, data));
  }
  size_t kept = detail::filter_vec_in_place(static_cast<uint32_t>(low), static_cast<uint32_t>(high), row_start, out,
                                            count, false);
  positions.resize(kept);
  return {};
}

}  // namespace fendral::bitpacker
