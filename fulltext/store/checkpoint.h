// A checkpoint of the document store's skip index: the byte range of a
// stored block within the blocks area and the ids of its documents (both
// half-open).
#pragma once

#include <cstdint>
#include <string>

namespace fendral::store {

struct Checkpoint {
  uint64_t byte_start = 0, byte_end = 0;
  uint32_t doc_start = 0, doc_end = 0;

  // b follows a when it starts where a ends, in docs and bytes.
  bool follows(const Checkpoint& prev) const { return doc_start == prev.doc_end && byte_start == prev.byte_end; }
  bool operator==(const Checkpoint&) const = default;
};

}  // namespace fendral::store
