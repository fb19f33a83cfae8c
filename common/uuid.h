// 16-byte UUIDs: text parsing, the canonical text form and random (v4) ids.
//
// Parsing accepts, in either case of hex digit:
//   hyphenated  00112233-4455-6677-8899-aabbccddeeff
//   simple      00112233445566778899aabbccddeeff
//   braced      {00112233-4455-6677-8899-aabbccddeeff}
//   urn         urn:uuid:00112233-4455-6677-8899-aabbccddeeff
// The canonical text is the 36-character lower-case hyphenated form; bytes
// are in text order (the first two hex digits are byte 0).
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <cstring>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>

namespace zudizid::common {

class Uuid {
 public:
  using Bytes = std::array<uint8_t, 16>;

  constexpr Uuid() : bytes_{} {}  // the nil id
  constexpr explicit Uuid(const Bytes& bytes) : bytes_(bytes) {}

  // Exactly 16 bytes; the error text is
  // "invalid length: expected 16 bytes, found {n}".
  static std::expected<Uuid, std::string> from_slice(std::span<const uint8_t> bytes);
  // The parser's error text says what is wrong and where.
  static std::expected<Uuid, std::string> parse(std::string_view text);
  // A random version-4 id from the kernel's entropy source.
  static Uuid new_v4();

  const Bytes& bytes() const { return bytes_; }
  std::span<const uint8_t> span() const { return bytes_; }
  bool is_nil() const { return *this == Uuid(); }
  // Version nibble (4 for random ids).
  int version() const { return bytes_[6] >> 4; }

  // 36-character lower-case hyphenated text.
  std::string to_string() const;
  void append_to(std::string& out) const;

  friend constexpr auto operator<=>(const Uuid&, const Uuid&) = default;
  friend constexpr bool operator==(const Uuid&, const Uuid&) = default;

 private:
  Bytes bytes_;
};

}  // namespace zudizid::common

template <>
struct std::hash<zudizid::common::Uuid> {
  size_t operator()(const zudizid::common::Uuid& id) const noexcept {
    uint64_t a, b;
    std::memcpy(&a, id.bytes().data(), 8);
    std::memcpy(&b, id.bytes().data() + 8, 8);
    uint64_t h = a * 0x9E3779B97F4A7C15ull ^ (b + 0x632BE59BD9B4E019ull + (a << 6) + (a >> 2));
    return static_cast<size_t>(h ^ (h >> 29));
  }
};
