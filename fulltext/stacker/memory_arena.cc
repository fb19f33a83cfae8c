#include "fulltext/stacker/memory_arena.h"

#include <sys/mman.h>

#include <new>

namespace fendral::stacker {

void MemoryArena::FreeDeleter::operator()(uint8_t* p) const { ::munmap(p, kPageSize); }

// Pages come straight from the kernel: zero-filled, and only the 4 KiB
// pieces actually written are ever backed. (The allocator's calloc serves a
// page from its heap, clearing all of it, once freed pages have raised its
// mapping threshold; most pages of the fast-field maps are never written.)
std::unique_ptr<uint8_t[], MemoryArena::FreeDeleter> MemoryArena::zeroed_page() {
  void* p = ::mmap(nullptr, kPageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) throw std::bad_alloc();
  return std::unique_ptr<uint8_t[], FreeDeleter>(static_cast<uint8_t*>(p));
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
