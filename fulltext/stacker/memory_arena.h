// A bump allocator over zero-filled 1 MiB pages addressed by 32-bit Addr
// values: bits 31..20 page id, bits 19..0 offset. Memory is never freed or
// reused until the arena is dropped; an allocation never crosses a page.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fulltext/error/error.h"

namespace fendral::stacker {

class Addr {
 public:
  static constexpr uint32_t kNull = 0xFFFFFFFF;
  constexpr Addr() : v_(kNull) {}
  constexpr explicit Addr(uint32_t v) : v_(v) {}
  static Addr make(uint32_t page_id, uint32_t offset) { return Addr(page_id << 20 | offset); }
  static Addr null_pointer() { return Addr(); }

  bool is_null() const { return v_ == kNull; }
  uint32_t page_id() const { return v_ >> 20; }
  uint32_t page_local() const { return v_ & 0xFFFFF; }
  uint32_t raw() const { return v_; }
  Addr offset(uint32_t n) const { return Addr(v_ + n); }
  std::string debug() const { return "Addr(" + std::to_string(v_) + ")"; }
  bool operator==(const Addr&) const = default;

 private:
  uint32_t v_;
};

class MemoryArena {
 public:
  static constexpr size_t kPageSize = 1 << 20;
  static constexpr size_t kMaxPages = 4096;

  MemoryArena();

  // Reserves len bytes (len <= 1 MiB). A 4097th page is refused: the
  // operation fails with InternalError "assertion failed: page_id < 4096".
  Result<Addr> allocate_space(size_t len);
  size_t mem_usage() const { return pages_.size() * kPageSize; }
  size_t num_pages() const { return pages_.size(); }

  uint8_t* ptr(Addr a) { return pages_[a.page_id()].data.get() + a.page_local(); }
  const uint8_t* ptr(Addr a) const { return pages_[a.page_id()].data.get() + a.page_local(); }
  void write_bytes(Addr a, const void* src, size_t n) {
    if (n > 0) std::memcpy(ptr(a), src, n);
  }
  void read_bytes(Addr a, void* dst, size_t n) const { std::memcpy(dst, ptr(a), n); }
  template <class T>
  void write(Addr a, const T& v) {
    std::memcpy(ptr(a), &v, sizeof(T));
  }
  template <class T>
  T read(Addr a) const {
    T v;
    std::memcpy(&v, ptr(a), sizeof(T));
    return v;
  }

 private:
  struct FreeDeleter {
    void operator()(uint8_t* p) const;
  };
  struct Page {
    std::unique_ptr<uint8_t[], FreeDeleter> data;
    size_t len = 0;
  };
  Result<Addr> add_page(size_t len);
  static std::unique_ptr<uint8_t[], FreeDeleter> zeroed_page();
  std::vector<Page> pages_;
};

}  // namespace fendral::stacker
