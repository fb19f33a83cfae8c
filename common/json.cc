#include "common/json.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <unordered_map>

#include "common/float_text.h"
#include "common/io_error.h"
#include "common/utf8.h"

namespace zudizid::common::json {

// ---------------------------------------------------------------- value

double Value::as_double() const {
  switch (type()) {
    case Type::Int: return static_cast<double>(as_int());
    case Type::UInt: return static_cast<double>(as_uint());
    default: return as_float();
  }
}

const Value* Value::find(std::string_view key) const {
  for (const auto& [k, v] : as_object())
    if (k == key) return &v;
  return nullptr;
}

Value* Value::find(std::string_view key) {
  for (auto& [k, v] : as_object())
    if (k == key) return &v;
  return nullptr;
}

Value& Value::set(std::string_view key, Value v) {
  if (Value* existing = find(key)) {
    *existing = std::move(v);
    return *existing;
  }
  auto& obj = as_object();
  obj.emplace_back(std::string(key), std::move(v));
  return obj.back().second;
}

// ---------------------------------------------------------------- writer

void append_string(std::string& out, std::string_view s) {
  static const char kHex[] = "0123456789abcdef";
  out.push_back('"');
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20) {
          out += "\\u00";
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 15]);
        } else {
          out.push_back(ch);
        }
    }
  }
  out.push_back('"');
}

void append_float(std::string& out, double v) {
  if (!std::isfinite(v)) {
    out += "null";
    return;
  }
  append_float_debug(out, v);
}

void Writer::newline() {
  out_.push_back('\n');
  out_.append(2 * stack_.size(), ' ');
}

void Writer::before_value() {
  if (after_key_) {
    after_key_ = false;
    return;
  }
  if (stack_.empty()) return;
  Level& top = stack_.back();
  if (!top.empty) out_.push_back(',');
  top.empty = false;
  if (pretty_) newline();
}

void Writer::begin_object() {
  before_value();
  out_.push_back('{');
  stack_.push_back({true});
}

void Writer::begin_array() {
  before_value();
  out_.push_back('[');
  stack_.push_back({false});
}

void Writer::end_container(char close) {
  bool empty = stack_.back().empty;
  stack_.pop_back();
  if (pretty_ && !empty) newline();
  out_.push_back(close);
}

void Writer::end_object() { end_container('}'); }
void Writer::end_array() { end_container(']'); }

void Writer::key(std::string_view k) {
  before_value();
  append_string(out_, k);
  out_ += pretty_ ? ": " : ":";
  after_key_ = true;
}

void Writer::null() {
  before_value();
  out_ += "null";
}

void Writer::boolean(bool v) {
  before_value();
  out_ += v ? "true" : "false";
}

void Writer::int64(int64_t v) {
  before_value();
  fmt::format_to(std::back_inserter(out_), "{}", v);
}

void Writer::uint64(uint64_t v) {
  before_value();
  fmt::format_to(std::back_inserter(out_), "{}", v);
}

void Writer::float64(double v) {
  before_value();
  append_float(out_, v);
}

void Writer::string(std::string_view s) {
  before_value();
  append_string(out_, s);
}

void Writer::raw(std::string_view json) {
  before_value();
  out_ += json;
}

void Writer::value(const Value& v) {
  switch (v.type()) {
    case Value::Type::Null: return null();
    case Value::Type::Bool: return boolean(v.as_bool());
    case Value::Type::Int: return int64(v.as_int());
    case Value::Type::UInt: return uint64(v.as_uint());
    case Value::Type::Float: return float64(v.as_float());
    case Value::Type::String: return string(v.as_string());
    case Value::Type::Array:
      begin_array();
      for (const auto& item : v.as_array()) value(item);
      return end_array();
    case Value::Type::Object:
      begin_object();
      for (const auto& [k, item] : v.as_object()) {
        key(k);
        value(item);
      }
      return end_object();
  }
}

std::string to_string(const Value& v) {
  std::string out;
  Writer(out).value(v);
  return out;
}

std::string to_string_pretty(const Value& v) {
  std::string out;
  Writer(out, true).value(v);
  return out;
}

// ---------------------------------------------------------------- reader

std::string Error::to_string() const {
  if (!has_position) return message;
  return fmt::format("{} at line {} column {}", message, line, column);
}

Error Reader::error_at(size_t pos, std::string message) const {
  pos = std::min(pos, text_.size());
  Error e{std::move(message), true, 1, 0};
  size_t line_start = 0;
  for (size_t i = 0; i < pos; ++i)
    if (text_[i] == '\n') {
      ++e.line;
      line_start = i + 1;
    }
  e.column = pos - line_start;
  return e;
}

int Reader::peek_token() {
  while (pos_ < text_.size()) {
    char c = text_[pos_];
    if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return static_cast<unsigned char>(c);
    ++pos_;
  }
  return kEof;
}

Result<void> Reader::enter() {
  if (depth_ <= 1) return std::unexpected(error_here("recursion limit exceeded"));
  --depth_;
  return {};
}

Result<void> Reader::finish() {
  if (peek_token() != kEof) return std::unexpected(error_next("trailing characters"));
  return {};
}

Result<Value> Reader::parse_value() {
  Value v;
  if (auto r = parse_into(&v); !r) return std::unexpected(r.error());
  return v;
}

Result<void> Reader::skip_value() { return parse_into(nullptr); }

Result<std::string> Reader::parse_string() {
  std::string s;
  if (peek_token() != '"') return std::unexpected(error_next("expected value"));
  ++pos_;
  if (auto r = parse_string_into(&s); !r) return std::unexpected(r.error());
  return s;
}

Result<void> Reader::parse_ident(std::string_view rest) {
  for (char c : rest) {
    if (pos_ >= text_.size()) return std::unexpected(error_here("EOF while parsing a value"));
    if (text_[pos_++] != c) return std::unexpected(error_here("expected ident"));
  }
  return {};
}

Result<void> Reader::parse_into(Value* out) {
  int c = peek_token();
  switch (c) {
    case kEof: return std::unexpected(error_here("EOF while parsing a value"));
    case 'n':
      ++pos_;
      if (auto r = parse_ident("ull"); !r) return r;
      if (out) *out = Value();
      return {};
    case 't':
      ++pos_;
      if (auto r = parse_ident("rue"); !r) return r;
      if (out) *out = Value(true);
      return {};
    case 'f':
      ++pos_;
      if (auto r = parse_ident("alse"); !r) return r;
      if (out) *out = Value(false);
      return {};
    case '"': {
      ++pos_;
      std::string s;
      if (auto r = parse_string_into(out ? &s : nullptr); !r) return r;
      if (out) *out = Value(std::move(s));
      return {};
    }
    case '[': {
      ++pos_;
      if (auto r = enter(); !r) return r;
      Value::Array items;
      int t = peek_token();
      if (t == ']') {
        ++pos_;
      } else {
        for (;;) {
          Value item;
          if (auto r = parse_into(out ? &item : nullptr); !r) return r;
          if (out) items.push_back(std::move(item));
          t = peek_token();
          if (t == kEof) return std::unexpected(error_here("EOF while parsing a list"));
          if (t == ']') {
            ++pos_;
            break;
          }
          if (t != ',') return std::unexpected(error_next("expected `,` or `]`"));
          ++pos_;
          if (peek_token() == ']') return std::unexpected(error_next("trailing comma"));
        }
      }
      leave();
      if (out) *out = Value(std::move(items));
      return {};
    }
    case '{': {
      ++pos_;
      if (auto r = enter(); !r) return r;
      Value::Object members;
      std::unordered_map<std::string, size_t> index;  // only for large objects
      int t = peek_token();
      if (t == '}') {
        ++pos_;
      } else {
        for (;;) {
          t = peek_token();
          if (t == kEof) return std::unexpected(error_here("EOF while parsing an object"));
          if (t != '"') return std::unexpected(error_next("key must be a string"));
          ++pos_;
          std::string key;
          if (auto r = parse_string_into(&key); !r) return r;
          t = peek_token();
          if (t == kEof) return std::unexpected(error_here("EOF while parsing an object"));
          if (t != ':') return std::unexpected(error_next("expected `:`"));
          ++pos_;
          Value item;
          if (auto r = parse_into(out ? &item : nullptr); !r) return r;
          // Duplicate detection: linear for small objects, hashed beyond.
          size_t found = members.size();
          if (out || options_.reject_duplicate_keys) {
            if (members.size() < 16) {
              for (size_t k = 0; k < members.size(); ++k)
                if (members[k].first == key) found = k;
            } else {
              if (index.empty())
                for (size_t k = 0; k < members.size(); ++k) index.emplace(members[k].first, k);
              auto it = index.find(key);
              if (it != index.end()) found = it->second;
            }
          }
          if (found < members.size()) {
            if (options_.reject_duplicate_keys)
              return std::unexpected(error_here(fmt::format("duplicate field `{}`", key)));
            members[found].second = std::move(item);
          } else if (out || options_.reject_duplicate_keys) {
            if (!index.empty()) index.emplace(key, members.size());
            members.emplace_back(std::move(key), std::move(item));
          }
          t = peek_token();
          if (t == kEof) return std::unexpected(error_here("EOF while parsing an object"));
          if (t == '}') {
            ++pos_;
            break;
          }
          if (t != ',') return std::unexpected(error_next("expected `,` or `}`"));
          ++pos_;
          if (peek_token() == '}') return std::unexpected(error_next("trailing comma"));
        }
      }
      leave();
      if (out) *out = Value(std::move(members));
      return {};
    }
    default:
      if (c == '-' || (c >= '0' && c <= '9')) return parse_number(out);
      return std::unexpected(error_next("expected value"));
  }
}

Result<void> Reader::parse_number(Value* out) {
  const size_t start = pos_;
  const size_t n = text_.size();
  auto digit = [&](size_t i) { return i < n && text_[i] >= '0' && text_[i] <= '9'; };
  auto bad = [&]() { return std::unexpected(error_at(std::min(pos_ + 1, n), "invalid number")); };
  bool negative = false;
  if (text_[pos_] == '-') {
    negative = true;
    ++pos_;
  }
  if (!digit(pos_)) return bad();
  const size_t int_start = pos_;
  if (text_[pos_] == '0') {
    ++pos_;
    if (digit(pos_)) return bad();
  } else {
    while (digit(pos_)) ++pos_;
  }
  const size_t int_end = pos_;
  bool is_float = false;
  if (pos_ < n && text_[pos_] == '.') {
    is_float = true;
    ++pos_;
    if (!digit(pos_)) return bad();
    while (digit(pos_)) ++pos_;
  }
  if (pos_ < n && (text_[pos_] == 'e' || text_[pos_] == 'E')) {
    is_float = true;
    ++pos_;
    if (pos_ < n && (text_[pos_] == '+' || text_[pos_] == '-')) ++pos_;
    if (!digit(pos_)) return bad();
    while (digit(pos_)) ++pos_;
  }
  if (!is_float) {
    // Exact integers when they fit; "-0" is a float, as are wider integers.
    std::string_view digits = text_.substr(int_start, int_end - int_start);
    uint64_t mag = 0;
    auto [p, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), mag);
    if (ec == std::errc() && p == digits.data() + digits.size()) {
      if (!negative) {
        if (out) *out = Value(mag);
        return {};
      }
      if (mag != 0 && mag <= (uint64_t{1} << 63)) {
        if (out) *out = Value(mag == (uint64_t{1} << 63) ? INT64_MIN : -static_cast<int64_t>(mag));
        return {};
      }
    }
  }
  std::string_view lexeme = text_.substr(start, pos_ - start);
  double d = 0;
  auto [p, ec] = std::from_chars(lexeme.data(), lexeme.data() + lexeme.size(), d);
  if (ec == std::errc::result_out_of_range) {
    // Overflow or underflow: decide by the decimal exponent of the first
    // significant digit.
    long exp10 = 0;
    size_t e = lexeme.find_first_of("eE");
    if (e != std::string_view::npos) {
      std::string_view es = lexeme.substr(e + 1);
      if (!es.empty() && es[0] == '+') es.remove_prefix(1);
      // Clamp absurd exponents; only the sign of the total matters here.
      long v = 0;
      auto r = std::from_chars(es.data(), es.data() + es.size(), v);
      if (r.ec == std::errc::result_out_of_range) v = (es[0] == '-') ? -100000 : 100000;
      exp10 = v;
    }
    std::string_view mant = lexeme.substr(0, e);
    long lead = 0;
    bool seen_point = false, seen_nonzero = false;
    for (char c : mant) {
      if (c == '.') {
        seen_point = true;
      } else if (c >= '0' && c <= '9') {
        if (c != '0') seen_nonzero = true;
        if (!seen_point && seen_nonzero) ++lead;
        if (seen_point && !seen_nonzero) --lead;
      }
      if (seen_nonzero && seen_point) break;
    }
    if (exp10 + lead > 0) return std::unexpected(error_here("number out of range"));
    d = negative ? -0.0 : 0.0;
  } else if (ec != std::errc() || std::isinf(d)) {
    return std::unexpected(error_here("number out of range"));
  }
  if (out) *out = Value(d);
  return {};
}

Result<uint32_t> Reader::parse_hex4() {
  uint32_t v = 0;
  for (int k = 0; k < 4; ++k) {
    if (pos_ >= text_.size()) return std::unexpected(error_here("EOF while parsing a string"));
    char c = text_[pos_++];
    uint32_t d;
    if (c >= '0' && c <= '9')
      d = static_cast<uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'f')
      d = static_cast<uint32_t>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      d = static_cast<uint32_t>(c - 'A' + 10);
    else
      return std::unexpected(error_here("invalid escape"));
    v = (v << 4) | d;
  }
  return v;
}

Result<void> Reader::parse_string_into(std::string* out) {
  const size_t n = text_.size();
  for (;;) {
    // Copy a run of plain bytes at once, validating UTF-8 as we go.
    size_t run = pos_;
    while (run < n) {
      auto c = static_cast<unsigned char>(text_[run]);
      if (c == '"' || c == '\\' || c < 0x20) break;
      ++run;
    }
    if (run > pos_) {
      std::string_view chunk = text_.substr(pos_, run - pos_);
      if (auto bad = validate_utf8(chunk)) {
        // A sequence cut by a quote, backslash or control byte is invalid too.
        return std::unexpected(error_at(pos_ + bad->valid_up_to + 1, "invalid unicode code point"));
      }
      if (out) out->append(chunk);
      pos_ = run;
    }
    if (pos_ >= n) return std::unexpected(error_here("EOF while parsing a string"));
    auto c = static_cast<unsigned char>(text_[pos_++]);
    if (c == '"') return {};
    if (c < 0x20) return std::unexpected(error_here("control character (\\u0000-\\u001F) found while parsing a string"));
    // Backslash escape.
    if (pos_ >= n) return std::unexpected(error_here("EOF while parsing a string"));
    char e = text_[pos_++];
    char simple = 0;
    switch (e) {
      case '"': simple = '"'; break;
      case '\\': simple = '\\'; break;
      case '/': simple = '/'; break;
      case 'b': simple = '\b'; break;
      case 'f': simple = '\f'; break;
      case 'n': simple = '\n'; break;
      case 'r': simple = '\r'; break;
      case 't': simple = '\t'; break;
      case 'u': break;
      default: return std::unexpected(error_here("invalid escape"));
    }
    if (simple) {
      if (out) out->push_back(simple);
      continue;
    }
    auto hi = parse_hex4();
    if (!hi) return std::unexpected(hi.error());
    char32_t cp = *hi;
    if (cp >= 0xDC00 && cp <= 0xDFFF) return std::unexpected(error_here("lone leading surrogate in hex escape"));
    if (cp >= 0xD800 && cp <= 0xDBFF) {
      // A high surrogate must be followed by the escape of a low one.
      if (pos_ >= n) return std::unexpected(error_here("EOF while parsing a string"));
      if (text_[pos_] != '\\') {
        ++pos_;
        return std::unexpected(error_here("unexpected end of hex escape"));
      }
      if (pos_ + 1 >= n) return std::unexpected(error_at(n, "EOF while parsing a string"));
      if (text_[pos_ + 1] != 'u') {
        pos_ += 2;
        return std::unexpected(error_here("lone leading surrogate in hex escape"));
      }
      pos_ += 2;
      auto lo = parse_hex4();
      if (!lo) return std::unexpected(lo.error());
      if (*lo < 0xDC00 || *lo > 0xDFFF) return std::unexpected(error_here("lone leading surrogate in hex escape"));
      cp = 0x10000 + ((cp - 0xD800) << 10) + (*lo - 0xDC00);
    }
    if (out) append_utf8(*out, cp);
  }
}

Result<Value> parse(std::string_view text, ParseOptions options) {
  Reader reader(text, options);
  auto v = reader.parse_value();
  if (!v) return v;
  if (auto r = reader.finish(); !r) return std::unexpected(r.error());
  return v;
}

std::string describe(const Value& v) {
  switch (v.type()) {
    case Value::Type::Null: return "null";
    case Value::Type::Bool: return v.as_bool() ? "boolean `true`" : "boolean `false`";
    case Value::Type::Int: return fmt::format("integer `{}`", v.as_int());
    case Value::Type::UInt: return fmt::format("integer `{}`", v.as_uint());
    case Value::Type::Float: return "floating point `" + float_debug(v.as_float()) + "`";
    case Value::Type::String: return "string " + debug_quote(v.as_string());
    case Value::Type::Array: return "sequence";
    case Value::Type::Object: return "map";
  }
  return "";
}

}  // namespace zudizid::common::json
