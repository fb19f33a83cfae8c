#include "index/index_metadata.h"

#include <fmt/format.h>

#include <cstring>

namespace zudizid::index {

namespace {

void put_u64(std::string& out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}
void put_u32(std::string& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(v >> (8 * i)));
}
void put_str(std::string& out, const std::string& s) {
  put_u64(out, s.size());
  out += s;
}

// Decodes one code point at s[i]; returns its length, or 0 when the bytes
// there are not valid UTF-8 (overlong forms, surrogates and values above
// U+10FFFF included).
std::size_t utf8_next(std::string_view s, std::size_t i, char32_t* cp) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  std::size_t len;
  char32_t v, min;
  if (c < 0x80) {
    *cp = c;
    return 1;
  } else if ((c & 0xE0) == 0xC0) {
    len = 2, v = c & 0x1F, min = 0x80;
  } else if ((c & 0xF0) == 0xE0) {
    len = 3, v = c & 0x0F, min = 0x800;
  } else if ((c & 0xF8) == 0xF0) {
    len = 4, v = c & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (s.size() - i < len) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    v = (v << 6) | (b(i + k) & 0x3F);
  }
  if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
  *cp = v;
  return len;
}

bool valid_utf8(std::string_view s) {
  char32_t cp;
  for (std::size_t i = 0; i < s.size();) {
    std::size_t n = utf8_next(s, i, &cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

std::string debug_quote(std::string_view s) {
  std::string out = "\"";
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out += fmt::format("\\u{{{:x}}}", c);
        } else {
          out.push_back(ch);
        }
    }
  }
  out += '"';
  return out;
}

class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}

  std::size_t remaining() const { return bytes_.size() - pos_; }

  std::expected<std::uint64_t, std::string> u64() {
    if (remaining() < 8) return eof();
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes_[pos_ + i]);
    pos_ += 8;
    return v;
  }

  std::expected<std::uint32_t, std::string> u32() {
    if (remaining() < 4) return eof();
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(bytes_[pos_ + i]);
    pos_ += 4;
    return v;
  }

  std::expected<std::string, std::string> str(std::string_view what) {
    auto len = u64();
    if (!len) return std::unexpected(len.error());
    if (*len > remaining()) return eof();
    std::string_view s = bytes_.substr(pos_, *len);
    if (!valid_utf8(s)) {
      return std::unexpected(fmt::format("invalid UTF-8 in {} at byte {}", what, pos_));
    }
    pos_ += *len;
    return std::string(s);
  }

 private:
  std::unexpected<std::string> eof() const {
    return std::unexpected(fmt::format("unexpected end of input at byte {}", pos_));
  }

  std::string_view bytes_;
  std::size_t pos_ = 0;
};

// Smallest encoded entry: three empty strings and the fixed fields.
constexpr std::uint64_t kMinEntryBytes = 44;

}  // namespace

bool is_blank(std::string_view s) {
  char32_t cp;
  for (std::size_t i = 0; i < s.size();) {
    std::size_t n = utf8_next(s, i, &cp);
    if (n == 0 || !is_white_space(cp)) return false;
    i += n;
  }
  return true;
}

std::optional<std::string> index_definition_fault(std::string_view label, std::string_view property) {
  if (is_blank(label)) return std::string("Index label must not be empty or whitespace only");
  if (is_blank(property)) return std::string("Index property must not be empty or whitespace only");
  return std::nullopt;
}

std::string debug_string(const IndexMetadata& m) {
  return fmt::format(
      "IndexMetadata {{ name: {}, label: {}, property: {}, index_type: {}, created_at: {}, "
      "size: {} }}",
      debug_quote(m.name), debug_quote(m.label), debug_quote(m.property),
      index_type_name(m.index_type), to_iso8601(m.created_at), m.size);
}

std::string encode_metadata(const std::vector<IndexMetadata>& entries) {
  std::string out;
  put_u64(out, entries.size());
  for (const auto& e : entries) {
    put_str(out, e.name);
    put_str(out, e.label);
    put_str(out, e.property);
    put_u32(out, static_cast<std::uint32_t>(e.index_type));
    put_u64(out, static_cast<std::uint64_t>(e.created_at.seconds));
    put_u64(out, e.size);
  }
  return out;
}

std::expected<std::vector<IndexMetadata>, std::string> decode_metadata(std::string_view bytes) {
  Reader r(bytes);
  auto count = r.u64();
  if (!count) return std::unexpected(count.error());
  std::vector<IndexMetadata> out;
  out.reserve(std::min<std::uint64_t>(*count, r.remaining() / kMinEntryBytes));
  for (std::uint64_t i = 0; i < *count; ++i) {
    IndexMetadata m;
    auto name = r.str("name");
    if (!name) return std::unexpected(name.error());
    auto label = r.str("label");
    if (!label) return std::unexpected(label.error());
    auto property = r.str("property");
    if (!property) return std::unexpected(property.error());
    auto tag = r.u32();
    if (!tag) return std::unexpected(tag.error());
    auto type = index_type_from_tag(*tag);
    if (!type) {
      return std::unexpected(fmt::format(
          "invalid value: integer `{}`, expected variant index 0 <= i < 4", *tag));
    }
    auto secs = r.u64();
    if (!secs) return std::unexpected(secs.error());
    const auto seconds = static_cast<std::int64_t>(*secs);
    if (!is_legal_timestamp(seconds)) {
      return std::unexpected(fmt::format("value is not a legal timestamp: {}", seconds));
    }
    auto size = r.u64();
    if (!size) return std::unexpected(size.error());
    m.name = std::move(*name);
    m.label = std::move(*label);
    m.property = std::move(*property);
    m.index_type = *type;
    m.created_at = UtcTime{seconds, 0};
    m.size = *size;
    out.push_back(std::move(m));
  }
  return out;
}

}  // namespace zudizid::index
