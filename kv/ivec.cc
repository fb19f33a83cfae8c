#include "kv/ivec.h"

#include <cstdlib>
#include <new>

namespace kelm {

void IVec::init_inline(const uint8_t* p, size_t n) noexcept {
  u_.in.tag = kInlineTag;
  u_.in.len = static_cast<uint8_t>(n);
  std::memset(u_.in.data, 0, kInlineCapacity);
  if (n) std::memcpy(u_.in.data, p, n);
}

void IVec::init_shared(const uint8_t* p, size_t n) {
  void* mem = ::operator new(sizeof(Buffer) + n);
  auto* buf = new (mem) Buffer{};
  buf->refs.store(1, std::memory_order_relaxed);
  std::memcpy(buf->bytes(), p, n);
  u_.sh.tag = kSharedTag;
  u_.sh.buf = buf;
  u_.sh.len = n;
}

IVec IVec::from_slice(std::span<const uint8_t> bytes) {
  IVec v;
  if (bytes.size() > kInlineCapacity) v.init_shared(bytes.data(), bytes.size());
  else v.init_inline(bytes.data(), bytes.size());
  return v;
}

IVec IVec::concat(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  IVec v;
  size_t n = a.size() + b.size();
  uint8_t* dst;
  if (n > kInlineCapacity) {
    void* mem = ::operator new(sizeof(Buffer) + n);
    auto* buf = new (mem) Buffer{};
    buf->refs.store(1, std::memory_order_relaxed);
    v.u_.sh.tag = kSharedTag;
    v.u_.sh.buf = buf;
    v.u_.sh.len = n;
    dst = buf->bytes();
  } else {
    v.init_inline(nullptr, 0);
    v.u_.in.len = static_cast<uint8_t>(n);
    dst = v.u_.in.data;
  }
  if (!a.empty()) std::memcpy(dst, a.data(), a.size());
  if (!b.empty()) std::memcpy(dst + a.size(), b.data(), b.size());
  return v;
}

IVec IVec::from_vec(std::vector<uint8_t>&& bytes) {
  IVec v = from_slice(std::span<const uint8_t>(bytes));
  std::vector<uint8_t>().swap(bytes);
  return v;
}

void IVec::retain() const noexcept {
  if (is_inline()) return;
  uint64_t prev = u_.sh.buf->refs.fetch_add(1, std::memory_order_relaxed);
  if (prev == UINT64_MAX) std::abort();  // a wrapped count would free live bytes
}

void IVec::release() noexcept {
  if (is_inline()) return;
  Buffer* buf = u_.sh.buf;
  if (buf->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    buf->~Buffer();
    ::operator delete(buf);
  }
  init_inline(nullptr, 0);
}

IVec::IVec(const IVec& other) noexcept {
  std::memcpy(static_cast<void*>(&u_), &other.u_, sizeof u_);
  retain();
}

IVec::IVec(IVec&& other) noexcept {
  std::memcpy(static_cast<void*>(&u_), &other.u_, sizeof u_);
  other.init_inline(nullptr, 0);
}

IVec& IVec::operator=(const IVec& other) noexcept {
  if (this != &other) {
    other.retain();
    release();
    std::memcpy(static_cast<void*>(&u_), &other.u_, sizeof u_);
  }
  return *this;
}

IVec& IVec::operator=(IVec&& other) noexcept {
  if (this != &other) {
    release();
    std::memcpy(static_cast<void*>(&u_), &other.u_, sizeof u_);
    other.init_inline(nullptr, 0);
  }
  return *this;
}

std::string IVec::debug_bytes(std::span<const uint8_t> bytes, bool alternate) {
  std::string out = "[";
  if (alternate) {
    if (bytes.empty()) return "[]";
    out += "\n";
    for (uint8_t b : bytes) out += "    " + std::to_string(b) + ",\n";
    out += "]";
    return out;
  }
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i) out += ", ";
    out += std::to_string(bytes[i]);
  }
  out += "]";
  return out;
}

size_t IVec::hash() const noexcept {
  uint64_t h = 0xcbf29ce484222325ull;
  auto mix = [&h](uint8_t b) {
    h ^= b;
    h *= 0x100000001b3ull;
  };
  uint64_t len = size();
  for (int i = 0; i < 8; ++i) mix(static_cast<uint8_t>(len >> (8 * i)));
  const uint8_t* p = data();
  for (size_t i = 0; i < len; ++i) mix(p[i]);
  return static_cast<size_t>(h);
}

}  // namespace kelm
