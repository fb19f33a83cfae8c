#include "fulltext/stacker/memory_arena.h"

#include <cstdlib>
#include <new>

namespace fendral::stacker {

void MemoryArena::FreeDeleter::operator()(uint8_t* p) const { std::free(p); }

// calloc hands out zero-filled pages without touching them first.
std::unique_ptr<uint8_t[], MemoryArena::FreeDeleter> MemoryArena::zeroed_page() {
  auto* p = static_cast<uint8_t*>(std::calloc(kPageSize, 1));
  if (!p) throw std::bad_alloc();
  return std::unique_ptr<uint8_t[], FreeDeleter>(p);
}

MemoryArena::MemoryArena() { pages_.push_back(Page{zeroed_page(), 0}); }

Result<Addr> MemoryArena::add_page(size_t len) {
  size_t page_id = pages_.size();
  if (page_id >= kMaxPages) return fail(FendralError::internal_error("assertion failed: page_id < 4096"));
  pages_.push_back(Page{zeroed_page(), len});
  return Addr::make(static_cast<uint32_t>(page_id), 0);
}

Result<Addr> MemoryArena::allocate_space(size_t len) {
  Page& last = pages_.back();
  if (last.len + len <= kPageSize) {
    Addr a = Addr::make(static_cast<uint32_t>(pages_.size() - 1), static_cast<uint32_t>(last.len));
    last.len += len;
    return a;
  }
  return add_page(len);
}

}  // namespace fendral::stacker
