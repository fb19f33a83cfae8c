// Where a term's data lies in its field's sections of a segment.
#pragma once

#include <cstdint>

namespace fendral::termdict {

struct ByteRange {
  uint64_t start = 0;
  uint64_t end = 0;
  uint64_t len() const { return end >= start ? end - start : 0; }
  bool operator==(const ByteRange&) const = default;
};

struct TermInfo {
  uint32_t doc_freq = 0;
  // Byte range in the field's postings, counted after its u64 token count.
  ByteRange postings_range;
  // Byte range in the field's positions section (empty without positions).
  ByteRange positions_range;
  bool operator==(const TermInfo&) const = default;
};

}  // namespace fendral::termdict
