#include "fulltext/schema/term.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cctype>
#include <cmath>
#include <cstring>

#include "common/float_text.h"
#include "fulltext/common/datetime.h"
#include "fulltext/common/json_path_writer.h"
#include "fulltext/common/utf8.h"
#include "fulltext/schema/facet.h"

namespace fendral::schema {

std::optional<ValueType> value_type_from_code(uint8_t code) {
  switch (code) {
    case 's': case 'u': case 'i': case 'f': case 'o': case 'd': case 'h': case 'b': case 'j': case 'p':
      return static_cast<ValueType>(code);
    default: return std::nullopt;
  }
}

std::string_view value_type_debug(ValueType t) {
  switch (t) {
    case ValueType::Str: return "Str";
    case ValueType::U64: return "U64";
    case ValueType::I64: return "I64";
    case ValueType::F64: return "F64";
    case ValueType::Bool: return "Bool";
    case ValueType::Date: return "Date";
    case ValueType::Facet: return "Facet";
    case ValueType::Bytes: return "Bytes";
    case ValueType::Json: return "Json";
    case ValueType::IpAddr: return "IpAddr";
  }
  return "";
}

uint64_t f64_to_u64(double v) {
  uint64_t bits;
  std::memcpy(&bits, &v, 8);
  return (bits & (uint64_t{1} << 63)) ? ~bits : bits | (uint64_t{1} << 63);
}

double u64_to_f64(uint64_t v) {
  uint64_t bits = (v & (uint64_t{1} << 63)) ? v & ~(uint64_t{1} << 63) : ~v;
  double d;
  std::memcpy(&d, &bits, 8);
  return d;
}

static void push_be64(std::vector<uint8_t>& out, uint64_t v) {
  for (int i = 7; i >= 0; --i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

static uint64_t read_be64(std::span<const uint8_t> b) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | b[i];
  return v;
}

std::string format_ipv6(const Ipv6& a) {
  bool mapped = true;
  for (int i = 0; i < 10; ++i) mapped = mapped && a[i] == 0;
  mapped = mapped && a[10] == 0xFF && a[11] == 0xFF;
  if (mapped) return fmt::format("::ffff:{}.{}.{}.{}", a[12], a[13], a[14], a[15]);
  uint16_t g[8];
  for (int i = 0; i < 8; ++i) g[i] = static_cast<uint16_t>(a[2 * i] << 8 | a[2 * i + 1]);
  // Longest run (at least two) of zero groups, first one on ties.
  int best = -1, best_len = 0;
  for (int i = 0; i < 8;) {
    if (g[i] != 0) {
      ++i;
      continue;
    }
    int j = i;
    while (j < 8 && g[j] == 0) ++j;
    if (j - i > best_len && j - i >= 2) {
      best = i;
      best_len = j - i;
    }
    i = j;
  }
  std::string out;
  for (int i = 0; i < 8; ++i) {
    if (i == best) {
      out += "::";
      i += best_len - 1;
      continue;
    }
    if (!out.empty() && out.back() != ':') out += ":";
    out += fmt::format("{:x}", g[i]);
  }
  return out;
}

Term Term::from_field_u64(Field f, uint64_t v) {
  std::vector<uint8_t> b{'u'};
  push_be64(b, v);
  return Term(f, std::move(b));
}
Term Term::from_field_i64(Field f, int64_t v) {
  std::vector<uint8_t> b{'i'};
  push_be64(b, i64_to_u64(v));
  return Term(f, std::move(b));
}
Term Term::from_field_f64(Field f, double v) {
  std::vector<uint8_t> b{'f'};
  push_be64(b, f64_to_u64(v));
  return Term(f, std::move(b));
}
Term Term::from_field_bool(Field f, bool v) {
  std::vector<uint8_t> b{'o'};
  push_be64(b, v ? 1 : 0);
  return Term(f, std::move(b));
}
Term Term::from_field_date(Field f, int64_t nanos) {
  std::vector<uint8_t> b{'d'};
  push_be64(b, i64_to_u64(nanos));
  return Term(f, std::move(b));
}
Term Term::from_field_text(Field f, std::string_view text) {
  std::vector<uint8_t> b{'s'};
  b.insert(b.end(), text.begin(), text.end());
  return Term(f, std::move(b));
}
Term Term::from_field_bytes(Field f, std::span<const uint8_t> bytes) {
  std::vector<uint8_t> b{'b'};
  b.insert(b.end(), bytes.begin(), bytes.end());
  return Term(f, std::move(b));
}
Term Term::from_field_ip_addr(Field f, const Ipv6& addr) {
  std::vector<uint8_t> b{'p'};
  b.insert(b.end(), addr.begin(), addr.end());
  return Term(f, std::move(b));
}
Term Term::from_facet(Field f, std::string_view encoded) {
  std::vector<uint8_t> b{'h'};
  b.insert(b.end(), encoded.begin(), encoded.end());
  return Term(f, std::move(b));
}
Term Term::from_field_json_path(Field f, std::string_view path, bool expand_dots) {
  JsonPathWriter writer(expand_dots);
  for (const auto& seg : split_json_path(path)) writer.push(seg);
  std::vector<uint8_t> b{'j'};
  b.insert(b.end(), writer.as_str().begin(), writer.as_str().end());
  b.push_back(kJsonPathEnd);
  return Term(f, std::move(b));
}

void Term::append_type_and_value(ValueType t, std::span<const uint8_t> value) {
  bytes_.push_back(static_cast<uint8_t>(t));
  append_bytes(value);
}

ValueType Term::typ() const {
  if (bytes_.empty()) contract_violation("The term has an invalid type code");
  auto t = value_type_from_code(bytes_[0]);
  if (!t) contract_violation("The term has an invalid type code");
  return *t;
}

std::vector<uint8_t> Term::value_bytes() const {
  const ValueType t = typ();  // an empty term stops here, before its bytes are sliced
  auto rest = serialized_value_bytes();
  if (t != ValueType::Json) return {rest.begin(), rest.end()};
  auto it = std::find(rest.begin(), rest.end(), kJsonPathEnd);
  if (it == rest.end()) return {rest.begin(), rest.end()};
  size_t pos = static_cast<size_t>(it - rest.begin());
  if (pos + 1 >= rest.size()) contract_violation("JSON term without a nested type code");
  return {rest.begin() + static_cast<std::ptrdiff_t>(pos + 2), rest.end()};
}

Result<uint64_t> Term::as_u64_mapped() const {
  ValueType t = typ();
  if (bytes_.size() == 9 && (t == ValueType::U64 || t == ValueType::I64 || t == ValueType::F64 || t == ValueType::Date)) {
    return read_be64(serialized_value_bytes());
  }
  return fail(FendralError::invalid_argument(
      fmt::format("Expected term with u64, i64, f64 or date, but got {}", debug())));
}

Result<Ipv6> Term::as_ip_addr() const {
  if (typ() == ValueType::IpAddr && bytes_.size() == 17) {
    Ipv6 a;
    std::copy(bytes_.begin() + 1, bytes_.end(), a.begin());
    return a;
  }
  return fail(FendralError::invalid_argument("Expected ip address"));
}

TermBound<std::vector<uint8_t>> value_bytes_vec(const TermBound<Term>& bound) {
  TermBound<std::vector<uint8_t>> out;
  out.kind = static_cast<TermBound<std::vector<uint8_t>>::Kind>(bound.kind);
  if (bound.kind != TermBound<Term>::Kind::Unbounded) {
    if (bound.value.serialized_term().empty()) contract_violation("The term has an invalid type code");
    auto v = bound.value.serialized_value_bytes();
    out.value.assign(v.begin(), v.end());
  }
  return out;
}

Result<TermBound<Ipv6>> as_ip_addr(const TermBound<Term>& bound) {
  TermBound<Ipv6> out;
  out.kind = static_cast<TermBound<Ipv6>::Kind>(bound.kind);
  if (bound.kind != TermBound<Term>::Kind::Unbounded) {
    auto a = bound.value.as_ip_addr();
    if (!a) return std::unexpected(a.error());
    out.value = *a;
  }
  return out;
}

// The printed value of a (code, value bytes) pair; empty when malformed.
static std::string debug_value(ValueType t, std::span<const uint8_t> v) {
  std::string_view text(reinterpret_cast<const char*>(v.data()), v.size());
  switch (t) {
    case ValueType::Str: return is_valid_utf8(v) ? debug_quote(text) : std::string();
    case ValueType::U64: return v.size() == 8 ? std::to_string(read_be64(v)) : std::string();
    case ValueType::I64: return v.size() == 8 ? std::to_string(u64_to_i64(read_be64(v))) : std::string();
    case ValueType::F64: return v.size() == 8 ? zudizid::common::float_debug(u64_to_f64(read_be64(v))) : std::string();
    case ValueType::Bool: return v.size() == 8 ? (read_be64(v) != 0 ? "true" : "false") : std::string();
    case ValueType::Date: return v.size() == 8 ? format_rfc3339(u64_to_i64(read_be64(v))) : std::string();
    case ValueType::Facet: return is_valid_utf8(v) ? "Facet(" + facet_text_form(text) + ")" : std::string();
    case ValueType::Bytes: {
      std::string out = "[";
      for (size_t i = 0; i < v.size(); ++i) out += (i ? ", " : "") + std::to_string(v[i]);
      return out + "]";
    }
    case ValueType::IpAddr: {
      if (v.size() != 16) return {};
      Ipv6 a;
      std::copy(v.begin(), v.end(), a.begin());
      return format_ipv6(a);
    }
    case ValueType::Json: {
      auto it = std::find(v.begin(), v.end(), kJsonPathEnd);
      if (it == v.end()) return {};
      std::string path(v.begin(), it);
      for (auto& c : path) {
        if (c == kJsonPathSegmentSep) c = '.';
      }
      auto rest = v.subspan(static_cast<size_t>(it - v.begin()) + 1);
      if (rest.empty()) return "path=" + path + ", ";
      auto nested = value_type_from_code(rest[0]);
      if (!nested) return "path=" + path + ", ";
      return fmt::format("path={}, type={}, {}", path, value_type_debug(*nested), debug_value(*nested, rest.subspan(1)));
    }
  }
  return {};
}

std::string Term::debug() const {
  ValueType t = typ();
  return fmt::format("Term(field={}, type={}, {})", field_, value_type_debug(t), debug_value(t, serialized_value_bytes()));
}

// ---- typed JSON values from query text ---------------------------------------

static bool parse_i64(std::string_view s, int64_t* out) {
  if (s.empty()) return false;
  std::string_view body = s;
  if (body[0] == '+') body = body.substr(1);
  if (body.empty() || body[0] == '+') return false;
  if (body[0] == '-' && (body.size() == 1 || body[1] == '-')) return false;
  auto [p, ec] = std::from_chars(body.data(), body.data() + body.size(), *out);
  return ec == std::errc() && p == body.data() + body.size();
}

static bool parse_u64(std::string_view s, uint64_t* out) {
  std::string_view body = s;
  if (!body.empty() && body[0] == '+') body = body.substr(1);
  if (body.empty() || body[0] < '0' || body[0] > '9') return false;
  auto [p, ec] = std::from_chars(body.data(), body.data() + body.size(), *out);
  return ec == std::errc() && p == body.data() + body.size();
}

// Decimal notation with optional sign, fraction and exponent; also "inf",
// "infinity" and "nan" in any case.
static bool parse_f64(std::string_view s, double* out) {
  if (s.empty()) return false;
  std::string_view body = s;
  bool neg = false;
  if (body[0] == '+' || body[0] == '-') {
    neg = body[0] == '-';
    body = body.substr(1);
  }
  if (body.empty() || body[0] == '+' || body[0] == '-') return false;
  auto lower = [](std::string_view x) {
    std::string r(x);
    for (auto& c : r) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return r;
  };
  std::string l = lower(body);
  if (l == "inf" || l == "infinity") {
    *out = neg ? -INFINITY : INFINITY;
    return true;
  }
  if (l == "nan") {
    *out = NAN;
    return true;
  }
  for (char c : body) {
    if (!(std::isdigit(static_cast<unsigned char>(c)) || c == '.' || c == 'e' || c == 'E' || c == '+' || c == '-')) return false;
  }
  double v;
  auto [p, ec] = std::from_chars(body.data(), body.data() + body.size(), v);
  if (p != body.data() + body.size()) return false;
  if (ec == std::errc::result_out_of_range) {
    // Overflow to infinity or underflow to zero, as a float parser does.
    v = std::strtod(std::string(body).c_str(), nullptr);
  } else if (ec != std::errc()) {
    return false;
  }
  *out = neg ? -v : v;
  return true;
}

std::optional<Term> append_json_value_to_term(const Term& path_term, std::string_view text, bool truncate_dates) {
  const auto& bytes = path_term.serialized_term();
  if (bytes.empty() || bytes[0] != 'j' || std::find(bytes.begin() + 1, bytes.end(), kJsonPathEnd) == bytes.end()) {
    contract_violation("expecting a Term with a json type and json path");
  }
  if (bytes.back() != kJsonPathEnd || std::find(bytes.begin() + 1, bytes.end(), kJsonPathEnd) != bytes.end() - 1) {
    contract_violation("assertion `left == right` failed: JSON value bytes should be empty");
  }
  Term term = path_term;
  std::vector<uint8_t> image;
  auto with = [&](ValueType t, uint64_t v) {
    image.clear();
    push_be64(image, v);
    term.append_type_and_value(t, image);
    return term;
  };
  if (auto nanos = parse_rfc3339(text)) {
    int64_t n = *nanos;
    if (truncate_dates) n = n / 1000000000 * 1000000000;
    return with(ValueType::Date, i64_to_u64(n));
  }
  if (int64_t i; parse_i64(text, &i)) return with(ValueType::I64, i64_to_u64(i));
  if (uint64_t u; parse_u64(text, &u)) return with(ValueType::U64, u);
  if (double f; parse_f64(text, &f)) {
    if (std::isfinite(f) && f == std::trunc(f)) {
      if (std::fabs(f) <= 9223372036854775808.0) {
        int64_t i = f >= 9223372036854775808.0 ? INT64_MAX : static_cast<int64_t>(f);
        return with(ValueType::I64, i64_to_u64(i));
      }
      if (f > 0 && f <= 18446744073709551616.0) {
        uint64_t u = f >= 18446744073709551616.0 ? UINT64_MAX : static_cast<uint64_t>(f);
        return with(ValueType::U64, u);
      }
    }
    return with(ValueType::F64, f64_to_u64(f));
  }
  if (text == "true") return with(ValueType::Bool, 1);
  if (text == "false") return with(ValueType::Bool, 0);
  return std::nullopt;
}

}  // namespace fendral::schema
