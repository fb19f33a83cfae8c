#include "fulltext/fieldnorm/fieldnorm_code.h"

#include <array>

namespace fendral::fieldnorm {

static constexpr std::array<uint32_t, 256> make_table() {
  std::array<uint32_t, 256> t{};
  for (uint32_t j = 0; j < 256; ++j) {
    if (j < 24) {
      t[j] = j;
      continue;
    }
    uint32_t i = j - 24, m = i % 8, e = i / 8;
    t[j] = e == 0 ? 24 + m : 24 + ((m + 8) << (e - 1));
  }
  return t;
}

static constexpr std::array<uint32_t, 256> kLengths = make_table();

uint32_t length_of_id(uint8_t id) { return kLengths[id]; }

uint8_t id_of_length(uint32_t length) {
  // Branch-free bisection: the answer is the number of entries after the
  // first that are <= length.
  uint32_t pos = 0;
  for (uint32_t step = 128; step > 0; step >>= 1) {
    pos += (kLengths[pos + step] <= length) ? step : 0;
  }
  // pos + 128 + 64 + ... may reach 255 at most; entry 0 (length 0) always fits.
  return static_cast<uint8_t>(pos);
}

}  // namespace fendral::fieldnorm
