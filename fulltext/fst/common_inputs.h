// The 63 most common key bytes ride inside a node's state byte; every other
// byte is stored explicitly. Ranks 0..83 follow the string below, ranks
// 84..255 are the remaining byte values in ascending order.
#pragma once

#include <array>
#include <cstdint>

namespace fendral::fst {

struct CommonInputs {
  std::array<uint8_t, 256> byte_of_rank;
  std::array<uint8_t, 256> rank_of_byte;
};

const CommonInputs& common_inputs();

// Code 1..63 for common bytes, 0 for bytes stored explicitly.
inline uint8_t common_idx(uint8_t input) {
  uint8_t rank = common_inputs().rank_of_byte[input];
  return rank <= 62 ? static_cast<uint8_t>(rank + 1) : 0;
}
inline uint8_t common_input(uint8_t code) { return common_inputs().byte_of_rank[code - 1]; }

}  // namespace fendral::fst
