// Field norms: the length of a field in a document (its token count) kept
// as one byte, the fieldnorm id, on a fixed, roughly logarithmic scale.
// Ids 0..23 stand for the lengths 0..23; for id j >= 24, with i = j - 24,
// m = i % 8 and e = i / 8: 24 + m when e = 0, else 24 + ((m + 8) << (e - 1)).
#pragma once

#include <cstdint>

namespace fendral::fieldnorm {

// The length fieldnorm id `id` stands for.
uint32_t length_of_id(uint8_t id);
// The largest id whose length is <= `length` (255 from 2013265944 on).
uint8_t id_of_length(uint32_t length);

}  // namespace fendral::fieldnorm
