#include "fulltext/stacker/expull.h"

#include <fmt/format.h>

#include <algorithm>

namespace fendral::stacker {

static uint32_t block_size(uint32_t block_num) { return uint32_t{1} << std::min<uint32_t>(block_num, 15); }

Result<void> ExpUnrolledLinkedList::extend_from_slice(MemoryArena& arena, std::span<const uint8_t> bytes) {
  if (bytes.size() <= remaining_cap) {
    // The common case, a VInt or two that fit the current block: no new
    // block, and a byte loop instead of a library copy.
    uint8_t* p = arena.ptr(tail);
    for (size_t i = 0; i < bytes.size(); ++i) p[i] = bytes[i];
    tail = tail.offset(static_cast<uint32_t>(bytes.size()));
    remaining_cap = static_cast<uint16_t>(remaining_cap - bytes.size());
    return {};
  }
  while (!bytes.empty()) {
    if (remaining_cap == 0) {
      if (block_num == 0xFFFFFFFF) {
        return fail(FendralError::internal_error("ExpUnrolledLinkedList block count overflow - exceeded 4 billion blocks"));
      }
      block_num += 1;
      uint32_t size = block_size(block_num);
      auto addr = arena.allocate_space(size + 4);
      if (!addr) return std::unexpected(addr.error());
      if (head.is_null()) {
        head = *addr;
      } else {
        arena.write<uint32_t>(tail, addr->raw());
      }
      tail = *addr;
      remaining_cap = static_cast<uint16_t>(size);  // at most 32768
    }
    size_t n = std::min<size_t>(remaining_cap, bytes.size());
    arena.write_bytes(tail, bytes.data(), n);
    tail = tail.offset(static_cast<uint32_t>(n));
    remaining_cap = static_cast<uint16_t>(remaining_cap - n);
    bytes = bytes.subspan(n);
  }
  return {};
}

Result<void> ExpUnrolledLinkedList::read_to_end(const MemoryArena& arena, std::vector<uint8_t>& out) const {
  if (head.is_null()) return {};
  uint32_t last_size = block_size(block_num);
  if (remaining_cap > last_size) {
    return fail(FendralError::internal_error(fmt::format(
        "ExpUnrolledLinkedList metadata corruption detected: remaining_cap ({}) > block_size ({}). This indicates a "
        "serious bug, please report! (block_num={}, head={}, tail={})",
        remaining_cap, last_size, block_num, head.debug(), tail.debug())));
  }
  Addr addr = head;
  for (uint32_t b = 3; b < block_num; ++b) {
    uint32_t size = block_size(b);
    const uint8_t* p = arena.ptr(addr);
    out.insert(out.end(), p, p + size);
    addr = Addr(arena.read<uint32_t>(addr.offset(size)));
  }
  const uint8_t* p = arena.ptr(addr);
  out.insert(out.end(), p, p + (last_size - remaining_cap));
  return {};
}

}  // namespace fendral::stacker
