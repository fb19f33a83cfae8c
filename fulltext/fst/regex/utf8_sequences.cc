#include "fulltext/fst/regex/utf8_sequences.h"

#include <utility>

namespace fendral::fst::regex {

size_t encode_utf8(uint32_t cp, uint8_t out[4]) {
  if (cp < 0x80) {
    out[0] = static_cast<uint8_t>(cp);
    return 1;
  }
  if (cp < 0x800) {
    out[0] = static_cast<uint8_t>(0xC0 | (cp >> 6));
    out[1] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
    return 2;
  }
  if (cp < 0x10000) {
    out[0] = static_cast<uint8_t>(0xE0 | (cp >> 12));
    out[1] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
    out[2] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
    return 3;
  }
  out[0] = static_cast<uint8_t>(0xF0 | (cp >> 18));
  out[1] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
  out[2] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
  out[3] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
  return 4;
}

std::vector<Utf8Sequence> utf8_sequences(uint32_t lo, uint32_t hi) {
  std::vector<Utf8Sequence> out;
  std::vector<std::pair<uint32_t, uint32_t>> stack{{lo, hi}};
  while (!stack.empty()) {
    auto [a, b] = stack.back();
    stack.pop_back();
    if (a > b) continue;
    // Surrogates have no encoding.
    if (a <= 0xDFFF && b >= 0xD800) {
      if (b > 0xDFFF) stack.push_back({0xE000, b});
      if (a < 0xD800) stack.push_back({a, 0xD7FF});
      continue;
    }
    // One encoded length per range.
    bool split = false;
    for (uint32_t max : {0x7Fu, 0x7FFu, 0xFFFFu}) {
      if (a <= max && max < b) {
        stack.push_back({max + 1, b});
        stack.push_back({a, max});
        split = true;
        break;
      }
    }
    if (split) continue;
    if (b <= 0x7F) {
      out.push_back({ByteRange{static_cast<uint8_t>(a), static_cast<uint8_t>(b)}});
      continue;
    }
    // Align on continuation-byte boundaries so that the range is a product
    // of byte ranges.
    for (uint32_t i = 1; i < 4 && !split; ++i) {
      uint32_t m = (1u << (6 * i)) - 1;
      if ((a & ~m) != (b & ~m)) {
        if ((a & m) != 0) {
          stack.push_back({(a | m) + 1, b});
          stack.push_back({a, a | m});
          split = true;
        } else if ((b & m) != m) {
          stack.push_back({b & ~m, b});
          stack.push_back({a, (b & ~m) - 1});
          split = true;
        }
      }
    }
    if (split) continue;
    uint8_t ea[4];
    uint8_t eb[4];
    size_t n = encode_utf8(a, ea);
    encode_utf8(b, eb);
    Utf8Sequence seq;
    for (size_t k = 0; k < n; ++k) seq.push_back({ea[k], eb[k]});
    out.push_back(std::move(seq));
  }
  return out;
}

}  // namespace fendral::fst::regex
