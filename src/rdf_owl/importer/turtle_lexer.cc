#include "rdf_owl/importer/turtle_lexer.h"

#include <fmt/format.h>

#include "common/ascii.h"
#include "common/utf8.h"

namespace zudizid::rdf_owl::importer {

namespace {

// Decodes the code point at `pos` (the text is valid UTF-8); sets `len`.
char32_t code_point_at(std::string_view s, size_t pos, size_t& len) {
  const auto b = static_cast<unsigned char>(s[pos]);
  if (b < 0x80) {
    len = 1;
    return b;
  }
  int n = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
  char32_t cp = b & (0x7F >> n);
  for (int i = 1; i < n && pos + i < s.size(); ++i) cp = (cp << 6) | (static_cast<unsigned char>(s[pos + i]) & 0x3F);
  len = std::min<size_t>(n, s.size() - pos);
  return cp;
}

bool in(char32_t c, char32_t lo, char32_t hi) { return c >= lo && c <= hi; }

bool pn_chars_base(char32_t c) {
  return in(c, 'A', 'Z') || in(c, 'a', 'z') || in(c, 0xC0, 0xD6) || in(c, 0xD8, 0xF6) || in(c, 0xF8, 0x2FF) ||
         in(c, 0x370, 0x37D) || in(c, 0x37F, 0x1FFF) || in(c, 0x200C, 0x200D) || in(c, 0x2070, 0x218F) ||
         in(c, 0x2C00, 0x2FEF) || in(c, 0x3001, 0xD7FF) || in(c, 0xF900, 0xFDCF) || in(c, 0xFDF0, 0xFFFD) ||
         in(c, 0x10000, 0xEFFFF);
}
bool pn_chars_u(char32_t c) { return pn_chars_base(c) || c == '_'; }
bool pn_chars(char32_t c) {
  return pn_chars_u(c) || c == '-' || in(c, '0', '9') || c == 0xB7 || in(c, 0x300, 0x36F) || in(c, 0x203F, 0x2040);
}
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

using common::ascii_iequals;

// Reads \uXXXX or \UXXXXXXXX at s[pos] == 'u' or 'U'; appends the character.
bool unicode_escape(std::string_view s, size_t& pos, std::string& out) {
  const size_t digits = s[pos] == 'u' ? 4 : 8;
  if (pos + digits >= s.size()) return false;
  char32_t cp = 0;
  for (size_t i = 1; i <= digits; ++i) {
    const char c = s[pos + i];
    if (!is_hex(c)) return false;
    cp = cp * 16 + static_cast<char32_t>(is_digit(c) ? c - '0' : (c | 0x20) - 'a' + 10);
  }
  if (cp > 0x10FFFF || in(cp, 0xD800, 0xDFFF)) return false;
  common::append_utf8(out, cp);
  pos += digits + 1;
  return true;
}

}  // namespace

Token TurtleLexer::error(size_t pos, std::string what) const { return {Tok::Error, std::move(what), pos}; }

const Token& TurtleLexer::peek() {
  if (!peeked_) {
    peek_ = scan();
    peeked_ = true;
  }
  return peek_;
}

Token TurtleLexer::next() {
  if (peeked_) {
    peeked_ = false;
    return std::move(peek_);
  }
  return scan();
}

void TurtleLexer::skip_space_and_comments() {
  while (pos_ < text_.size()) {
    const char c = text_[pos_];
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
      ++pos_;
    } else if (c == '#') {
      while (pos_ < text_.size() && text_[pos_] != '\n' && text_[pos_] != '\r') ++pos_;
    } else {
      return;
    }
  }
}

Token TurtleLexer::scan() {
  skip_space_and_comments();
  const size_t start = pos_;
  if (pos_ >= text_.size()) return {Tok::End, {}, start};
  const char c = text_[pos_];
  switch (c) {
    case '<': return iri(start);
    case '"':
    case '\'': return string(start);
    case '@': return lang_tag(start);
    case '^':
      if (pos_ + 1 < text_.size() && text_[pos_ + 1] == '^') {
        pos_ += 2;
        return {Tok::Carets, "^^", start};
      }
      return error(start, "expected '^^'");
    case ';': ++pos_; return {Tok::Semicolon, ";", start};
    case ',': ++pos_; return {Tok::Comma, ",", start};
    case '[': ++pos_; return {Tok::LBracket, "[", start};
    case ']': ++pos_; return {Tok::RBracket, "]", start};
    case '(': ++pos_; return {Tok::LParen, "(", start};
    case ')': ++pos_; return {Tok::RParen, ")", start};
    case '.':
      if (pos_ + 1 < text_.size() && is_digit(text_[pos_ + 1])) return number(start);
      ++pos_;
      return {Tok::Dot, ".", start};
    case '+':
    case '-': return number(start);
    case '_':
      if (pos_ + 1 < text_.size() && text_[pos_ + 1] == ':') return blank_node(start);
      break;
    default:
      if (is_digit(c)) return number(start);
  }
  return name(start);
}

Token TurtleLexer::iri(size_t start) {
  ++pos_;
  std::string out;
  while (pos_ < text_.size()) {
    const char c = text_[pos_];
    if (c == '>') {
      ++pos_;
      return {Tok::Iri, std::move(out), start};
    }
    if (c == '\\') {
      ++pos_;
      if (pos_ >= text_.size() || (text_[pos_] != 'u' && text_[pos_] != 'U') || !unicode_escape(text_, pos_, out)) {
        return error(pos_ - 1, "bad escape in IRI");
      }
      continue;
    }
    if (static_cast<unsigned char>(c) <= 0x20 || c == '<' || c == '"' || c == '{' || c == '}' || c == '|' ||
        c == '^' || c == '`') {
      return error(pos_, fmt::format("character not allowed in an IRI: {:?}", std::string(1, c)));
    }
    out += c;
    ++pos_;
  }
  return error(start, "IRI without its closing '>'");
}

Token TurtleLexer::string(size_t start) {
  const char quote = text_[pos_];
  const bool long_form = text_.substr(pos_, 3) == std::string(3, quote);
  pos_ += long_form ? 3 : 1;
  std::string out;
  while (pos_ < text_.size()) {
    const char c = text_[pos_];
    if (c == quote) {
      if (!long_form) {
        ++pos_;
        return {Tok::String, std::move(out), start};
      }
      if (text_.substr(pos_, 3) == std::string(3, quote)) {
        // A long string may end in up to two more quotes: """a"""" is a".
        size_t end = pos_ + 3;
        while (end < text_.size() && text_[end] == quote && end - pos_ < 5) ++end;
        out.append(end - pos_ - 3, quote);
        pos_ = end;
        return {Tok::String, std::move(out), start};
      }
      out += c;
      ++pos_;
      continue;
    }
    if (!long_form && (c == '\n' || c == '\r')) return error(pos_, "line break inside a short string");
    if (c == '\\') {
      const size_t at = pos_;
      ++pos_;
      if (pos_ >= text_.size()) return error(at, "string ends in a backslash");
      const char e = text_[pos_];
      switch (e) {
        case 't': out += '\t'; break;
        case 'b': out += '\b'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 'f': out += '\f'; break;
        case '"': out += '"'; break;
        case '\'': out += '\''; break;
        case '\\': out += '\\'; break;
        case 'u':
        case 'U':
          if (!unicode_escape(text_, pos_, out)) return error(at, "bad \\u escape in a string");
          continue;
        default: return error(at, fmt::format("unknown escape \\{} in a string", e));
      }
      ++pos_;
      continue;
    }
    out += c;
    ++pos_;
  }
  return error(start, "string without its closing quote");
}

Token TurtleLexer::lang_tag(size_t start) {
  ++pos_;
  const size_t first = pos_;
  while (pos_ < text_.size() && is_alpha(text_[pos_])) ++pos_;
  if (pos_ == first) return error(start, "expected a language tag or directive after '@'");
  while (pos_ + 1 < text_.size() && text_[pos_] == '-' && (is_alpha(text_[pos_ + 1]) || is_digit(text_[pos_ + 1]))) {
    ++pos_;
    while (pos_ < text_.size() && (is_alpha(text_[pos_]) || is_digit(text_[pos_]))) ++pos_;
  }
  return {Tok::LangTag, std::string(text_.substr(first, pos_ - first)), start};
}

Token TurtleLexer::number(size_t start) {
  if (text_[pos_] == '+' || text_[pos_] == '-') ++pos_;
  auto digits = [&] {
    const size_t from = pos_;
    while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
    return pos_ - from;
  };
  const size_t whole = digits();
  size_t fraction = 0;
  bool point = false;
  // A point belongs to the number only when a digit follows it; otherwise it
  // ends the statement ("ex:a ex:b 3.").
  if (pos_ + 1 < text_.size() && text_[pos_] == '.' && is_digit(text_[pos_ + 1])) {
    point = true;
    ++pos_;
    fraction = digits();
  } else if (whole == 0 && pos_ < text_.size() && text_[pos_] == '.' && whole == 0) {
    return error(start, "expected digits");
  }
  Tok kind = point ? Tok::Decimal : Tok::Integer;
  if (pos_ < text_.size() && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
    const size_t mark = pos_;
    ++pos_;
    if (pos_ < text_.size() && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
    if (digits() == 0) {
      pos_ = mark;
      return error(mark, "exponent without digits");
    }
    kind = Tok::Double;
  }
  if (whole + fraction == 0) return error(start, "expected a number");
  return {kind, std::string(text_.substr(start, pos_ - start)), start};
}

void TurtleLexer::skip_name_chars() {
  size_t last_good = pos_;
  size_t len = 0;
  while (pos_ < text_.size()) {
    const char32_t c = code_point_at(text_, pos_, len);
    if (pn_chars(c)) {
      pos_ += len;
      last_good = pos_;
    } else if (c == '.') {
      pos_ += len;
    } else {
      break;
    }
  }
  pos_ = last_good;  // trailing points end the statement
}

Token TurtleLexer::blank_node(size_t start) {
  pos_ += 2;
  const size_t first = pos_;
  size_t len = 0;
  if (pos_ < text_.size()) {
    const char32_t c = code_point_at(text_, pos_, len);
    if (!(pn_chars_u(c) || in(c, '0', '9'))) return error(pos_, "bad blank node label");
    pos_ += len;
  } else {
    return error(start, "bad blank node label");
  }
  skip_name_chars();
  return {Tok::BlankNode, "_:" + std::string(text_.substr(first, pos_ - first)), start};
}

bool TurtleLexer::local_part(std::string& out, std::string& fault) {
  size_t last_good_pos = pos_;
  size_t last_good_len = out.size();
  bool first = true;
  size_t len = 0;
  while (pos_ < text_.size()) {
    const char ch = text_[pos_];
    if (ch == '%') {
      if (pos_ + 2 >= text_.size() || !is_hex(text_[pos_ + 1]) || !is_hex(text_[pos_ + 2])) {
        fault = "bad percent escape in a prefixed name";
        return false;
      }
      out.append(text_.substr(pos_, 3));
      pos_ += 3;
    } else if (ch == '\\') {
      static constexpr std::string_view kEscapable = "_~.-!$&'()*+,;=/?#@%";
      if (pos_ + 1 >= text_.size() || kEscapable.find(text_[pos_ + 1]) == std::string_view::npos) {
        fault = "bad escape in a prefixed name";
        return false;
      }
      out += text_[pos_ + 1];
      pos_ += 2;
    } else {
      const char32_t c = code_point_at(text_, pos_, len);
      const bool ok = first ? (pn_chars_u(c) || c == ':' || in(c, '0', '9')) : (pn_chars(c) || c == ':' || c == '.');
      if (!ok) break;
      out.append(text_.substr(pos_, len));
      pos_ += len;
      if (c == '.') {
        first = false;
        continue;  // not a good end
      }
    }
    first = false;
    last_good_pos = pos_;
    last_good_len = out.size();
  }
  pos_ = last_good_pos;
  out.resize(last_good_len);
  return true;
}

Token TurtleLexer::name(size_t start) {
  // PN_PREFIX (or a keyword) up to ':' or the end of the word.
  size_t len = 0;
  const char32_t c0 = code_point_at(text_, pos_, len);
  std::string prefix;
  if (c0 != ':') {
    if (!pn_chars_base(c0)) {
      return error(start, fmt::format("unexpected character {:?}", std::string(text_.substr(pos_, len))));
    }
    pos_ += len;
    skip_name_chars();
    prefix = std::string(text_.substr(start, pos_ - start));
    if (pos_ >= text_.size() || text_[pos_] != ':') {
      if (prefix == "a") return {Tok::A, prefix, start};
      if (prefix == "true") return {Tok::True, prefix, start};
      if (prefix == "false") return {Tok::False, prefix, start};
      if (ascii_iequals(prefix, "prefix")) return {Tok::SparqlPrefix, prefix, start};
      if (ascii_iequals(prefix, "base")) return {Tok::SparqlBase, prefix, start};
      return error(start, fmt::format("unexpected word '{}'", prefix));
    }
  }
  ++pos_;  // ':'
  std::string out = prefix + ":";
  std::string fault;
  if (!local_part(out, fault)) return error(pos_, std::move(fault));
  return {Tok::PName, std::move(out), start};
}

}  // namespace zudizid::rdf_owl::importer
