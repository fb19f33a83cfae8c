// IVec: the engine's immutable byte string.
//
// Up to kInlineCapacity (22) bytes live inside the value itself, so small keys
// and counters never allocate. Longer strings live in one shared buffer with
// an atomic reference count followed by the bytes; copying an IVec costs one
// atomic increment. Equality and order look at the bytes only (unsigned,
// bytewise, shorter first on a common prefix), never at the form.
#pragma once

#include <atomic>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelm {

class IVec {
 public:
  static constexpr size_t kInlineCapacity = 22;

  IVec() noexcept { init_inline(nullptr, 0); }
  IVec(const IVec& other) noexcept;
  IVec(IVec&& other) noexcept;
  IVec& operator=(const IVec& other) noexcept;
  IVec& operator=(IVec&& other) noexcept;
  ~IVec() { release(); }

  static IVec from_slice(std::span<const uint8_t> bytes);
  static IVec from_slice(std::string_view bytes) {
    return from_slice(std::span(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  }
  // Copies the bytes (inline or into a new shared buffer) and releases the
  // vector's storage; the vector is never adopted as the shared buffer.
  static IVec from_vec(std::vector<uint8_t>&& bytes);
  // The bytes of `a` followed by those of `b`, built in place.
  static IVec concat(std::span<const uint8_t> a, std::span<const uint8_t> b);

  const uint8_t* data() const noexcept { return is_inline() ? u_.in.data : u_.sh.buf->bytes(); }
  size_t size() const noexcept { return is_inline() ? u_.in.len : u_.sh.len; }
  bool empty() const noexcept { return size() == 0; }
  std::span<const uint8_t> bytes() const noexcept { return {data(), size()}; }
  std::string_view view() const noexcept { return {reinterpret_cast<const char*>(data()), size()}; }
  uint8_t operator[](size_t i) const noexcept { return data()[i]; }

  bool is_inline() const noexcept { return u_.in.tag == kInlineTag; }

  friend bool operator==(const IVec& a, const IVec& b) noexcept {
    return a.size() == b.size() && (a.size() == 0 || std::memcmp(a.data(), b.data(), a.size()) == 0);
  }
  friend std::strong_ordering operator<=>(const IVec& a, const IVec& b) noexcept { return compare(a.bytes(), b.bytes()); }

  // The engine's key order over plain byte slices. Inline, with the first
  // eight bytes compared as one big-endian word: tree searches call this for
  // every probe, and most probes differ there.
  static std::strong_ordering compare(std::span<const uint8_t> a, std::span<const uint8_t> b) noexcept {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    if (n >= 8) {
      uint64_t x, y;
      std::memcpy(&x, a.data(), 8);
      std::memcpy(&y, b.data(), 8);
      if (x != y) return __builtin_bswap64(x) < __builtin_bswap64(y) ? std::strong_ordering::less
                                                                       : std::strong_ordering::greater;
    }
    const int c = n ? std::memcmp(a.data(), b.data(), n) : 0;
    if (c != 0) return c < 0 ? std::strong_ordering::less : std::strong_ordering::greater;
    return a.size() <=> b.size();
  }

  // "[1, 2, 255]"; the alternate form puts each byte on its own indented line.
  std::string debug(bool alternate = false) const { return debug_bytes(bytes(), alternate); }
  static std::string debug_bytes(std::span<const uint8_t> bytes, bool alternate = false);

  // Length as a 64-bit word, then the bytes, through FNV-1a (any hasher may
  // consume this stream; equal strings hash equally in either form).
  size_t hash() const noexcept;

  // Reference count of the shared buffer (1 for inline values); tests only.
  uint64_t ref_count_for_test() const noexcept { return is_inline() ? 1 : u_.sh.buf->refs.load(); }

 private:
  static constexpr uint8_t kInlineTag = 0;
  static constexpr uint8_t kSharedTag = 1;

  struct Buffer {
    std::atomic<uint64_t> refs;
    uint8_t* bytes() noexcept { return reinterpret_cast<uint8_t*>(this + 1); }
  };

  void init_inline(const uint8_t* p, size_t n) noexcept;
  void init_shared(const uint8_t* p, size_t n);
  void retain() const noexcept;
  void release() noexcept;

  union {
    struct {
      uint8_t tag;
      uint8_t len;
      uint8_t data[kInlineCapacity];
    } in;
    struct {
      uint8_t tag;
      Buffer* buf;
      uint64_t len;
    } sh;
  } u_;
};

struct IVecHash {
  size_t operator()(const IVec& v) const noexcept { return v.hash(); }
};

}  // namespace kelm
