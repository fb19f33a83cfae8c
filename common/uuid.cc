#include "common/uuid.h"

#include <fmt/format.h>
#include <sys/random.h>

#include <cerrno>
#include <random>

namespace zudizid::common {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void fill_random(uint8_t* out, size_t len) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = getrandom(out + done, len - done, 0);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno != EINTR) {
      // No getrandom (very old kernels): fall back to the library's device.
      std::random_device rd;
      while (done < len) out[done++] = static_cast<uint8_t>(rd());
    }
  }
}

}  // namespace

std::expected<Uuid, std::string> Uuid::from_slice(std::span<const uint8_t> bytes) {
  if (bytes.size() != 16) return std::unexpected(fmt::format("invalid length: expected 16 bytes, found {}", bytes.size()));
  Bytes b;
  std::copy(bytes.begin(), bytes.end(), b.begin());
  return Uuid(b);
}

std::expected<Uuid, std::string> Uuid::parse(std::string_view text) {
  std::string_view body = text;
  size_t offset = 0;  // of body within text, for character positions
  if (body.starts_with("urn:uuid:")) {
    body.remove_prefix(9);
    offset = 9;
  } else if (body.size() >= 2 && body.front() == '{' && body.back() == '}') {
    body = body.substr(1, body.size() - 2);
    offset = 1;
  }
  for (size_t i = 0; i < body.size(); ++i) {
    char c = body[i];
    if (hex_value(c) < 0 && c != '-') {
      // Report the whole code point at this place, not a lone byte.
      size_t len = 1;
      auto lead = static_cast<unsigned char>(c);
      if (lead >= 0xF0) len = 4;
      else if (lead >= 0xE0) len = 3;
      else if (lead >= 0xC0) len = 2;
      return std::unexpected(fmt::format(
          "invalid character: expected an optional prefix of `urn:uuid:` followed by [0-9a-fA-F-], found `{}` at {}",
          body.substr(i, len), offset + i + 1));
    }
  }
  Bytes b{};
  if (body.find('-') == std::string_view::npos) {
    if (offset != 0) return std::unexpected(std::string("invalid group count: expected 5, found 1"));
    if (body.size() != 32)
      return std::unexpected(fmt::format("invalid length: expected length 32 for simple format, found {}", body.size()));
    for (size_t k = 0; k < 16; ++k)
      b[k] = static_cast<uint8_t>(hex_value(body[2 * k]) * 16 + hex_value(body[2 * k + 1]));
    return Uuid(b);
  }
  static constexpr size_t kGroupLen[5] = {8, 4, 4, 4, 12};
  size_t groups = 1;
  for (char c : body) groups += c == '-';
  if (groups != 5) return std::unexpected(fmt::format("invalid group count: expected 5, found {}", groups));
  size_t start = 0, out = 0;
  for (size_t g = 0; g < 5; ++g) {
    size_t end = g < 4 ? body.find('-', start) : body.size();
    size_t len = end - start;
    if (len != kGroupLen[g])
      return std::unexpected(
          fmt::format("invalid group length in group {}: expected {}, found {}", g, kGroupLen[g], len));
    for (size_t k = start; k < end; k += 2)
      b[out++] = static_cast<uint8_t>(hex_value(body[k]) * 16 + hex_value(body[k + 1]));
    start = end + 1;
  }
  return Uuid(b);
}

Uuid Uuid::new_v4() {
  Bytes b;
  fill_random(b.data(), b.size());
  b[6] = static_cast<uint8_t>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<uint8_t>((b[8] & 0x3F) | 0x80);
  return Uuid(b);
}

void Uuid::append_to(std::string& out) const {
  static const char kHex[] = "0123456789abcdef";
  for (size_t k = 0; k < 16; ++k) {
    if (k == 4 || k == 6 || k == 8 || k == 10) out.push_back('-');
    out.push_back(kHex[bytes_[k] >> 4]);
    out.push_back(kHex[bytes_[k] & 15]);
  }
}

std::string Uuid::to_string() const {
  std::string s;
  s.reserve(36);
  append_to(s);
  return s;
}

}  // namespace zudizid::common
