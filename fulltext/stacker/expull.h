// A growable byte list stored in an arena as a chain of blocks of 8, 16, ...
// up to 32768 data bytes, each followed by 4 link bytes that hold the next
// block's address once it exists. The 16-byte header lives by value inside
// the record that owns the list.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "fulltext/stacker/memory_arena.h"

namespace fendral::stacker {

struct ExpUnrolledLinkedList {
  uint32_t block_num = 2;
  Addr head;
  Addr tail;
  uint16_t remaining_cap = 0;

  Result<void> extend_from_slice(MemoryArena& arena, std::span<const uint8_t> bytes);
  // Appends every byte of the list, in write order, to `out`. A header that
  // contradicts itself is InternalError.
  Result<void> read_to_end(const MemoryArena& arena, std::vector<uint8_t>& out) const;
};

}  // namespace fendral::stacker
