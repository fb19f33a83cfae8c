#include "common/utf8.h"

#include <fmt/format.h>

namespace zudizid::common {

std::string Utf8Error::message() const {
  if (error_len) return fmt::format("invalid utf-8 sequence of {} bytes from index {}", *error_len, valid_up_to);
  return fmt::format("incomplete utf-8 byte sequence from index {}", valid_up_to);
}

std::optional<Utf8Error> validate_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const size_t n = text.size();
  size_t i = 0;
  while (i < n) {
    uint8_t b = p[i];
    if (b < 0x80) {
      ++i;
      continue;
    }
    size_t width;
    uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      width = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      width = 3;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      width = 4;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    } else {
      return Utf8Error{i, 1};
    }
    for (size_t k = 1; k < width; ++k) {
      if (i + k >= n) return Utf8Error{i, std::nullopt};
      uint8_t c = p[i + k];
      bool ok = k == 1 ? (c >= lo && c <= hi) : (c >= 0x80 && c <= 0xBF);
      if (!ok) return Utf8Error{i, k};
    }
    i += width;
  }
  return std::nullopt;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

}  // namespace zudizid::common

namespace zudizid::common {

std::string utf8_lossy(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  while (!bytes.empty()) {
    auto err = validate_utf8(bytes);
    if (!err) {
      out.append(bytes.data(), bytes.size());
      break;
    }
    out.append(bytes.data(), err->valid_up_to);
    out += "\xEF\xBF\xBD";
    if (!err->error_len) break;
    bytes.remove_prefix(err->valid_up_to + *err->error_len);
  }
  return out;
}

}  // namespace zudizid::common

namespace zudizid::common {

std::optional<std::string> ascii_lowered(std::string_view name) {
  constexpr std::string_view kKelvin = "\xE2\x84\xAA";
  std::string out;
  out.reserve(name.size());
  for (size_t i = 0; i < name.size();) {
    unsigned char c = static_cast<unsigned char>(name[i]);
    if (c < 0x80) {
      out.push_back(static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c));
      ++i;
    } else if (name.substr(i, kKelvin.size()) == kKelvin) {
      out.push_back('k');
      i += kKelvin.size();
    } else {
      return std::nullopt;
    }
  }
  return out;
}

}  // namespace zudizid::common
