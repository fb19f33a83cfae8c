#include "rdf_owl/importer/term_values.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <optional>

namespace zudizid::rdf_owl::importer {

namespace {

constexpr std::string_view kXsd = "http://www.w3.org/2001/XMLSchema#";

std::string_view trim(std::string_view s) {
  auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
  while (!s.empty() && space(s.front())) s.remove_prefix(1);
  while (!s.empty() && space(s.back())) s.remove_suffix(1);
  return s;
}

bool all_digits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

// An optional sign and digits, fitting a signed 64-bit integer.
std::optional<int64_t> parse_int(std::string_view s) {
  std::string_view digits = s;
  if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) digits.remove_prefix(1);
  if (!all_digits(digits)) return std::nullopt;
  if (s[0] == '+') s.remove_prefix(1);
  int64_t v = 0;
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  if (ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
  return v;
}

// The decimal and double lexical forms: sign, digits with an optional point
// (digits on at least one side), optional exponent.
std::optional<double> parse_decimal_or_double(std::string_view s) {
  size_t i = 0;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
  size_t digits = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  if (i < s.size() && s[i] == '.') {
    ++i;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
  }
  if (digits == 0) return std::nullopt;
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (!(i < s.size() && s[i] >= '0' && s[i] <= '9')) return std::nullopt;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i;
  }
  if (i != s.size()) return std::nullopt;
  std::string_view body = s[0] == '+' ? s.substr(1) : s;
  double v = 0;
  auto [end, ec] = std::from_chars(body.data(), body.data() + body.size(), v);
  if (end != body.data() + body.size()) return std::nullopt;
  if (ec == std::errc::result_out_of_range) {
    // from_chars leaves v unset on overflow and underflow alike.
    const bool negative = s[0] == '-';
    const auto e = body.find_first_of("eE");
    const bool tiny = e != std::string_view::npos && body[e + 1] == '-';
    return tiny ? (negative ? -0.0 : 0.0) : (negative ? -HUGE_VAL : HUGE_VAL);
  }
  return v;
}

std::optional<double> parse_special_double(std::string_view s) {
  if (s == "INF" || s == "+INF") return std::numeric_limits<double>::infinity();
  if (s == "-INF") return -std::numeric_limits<double>::infinity();
  if (s == "NaN") return std::numeric_limits<double>::quiet_NaN();
  return std::nullopt;
}

// The XSD local name of a datatype term, or empty when it is not XSD's.
std::string_view xsd_name(std::string_view datatype) {
  if (datatype.size() > 2 && datatype.front() == '<' && datatype.back() == '>') {
    std::string_view iri = datatype.substr(1, datatype.size() - 2);
    if (iri.starts_with(kXsd)) return iri.substr(kXsd.size());
    return {};
  }
  if (datatype.starts_with("xsd:")) return datatype.substr(4);
  return {};
}

PropertyValue typed_value(std::string lexical, std::string_view datatype) {
  const std::string_view type = xsd_name(datatype);
  static constexpr std::string_view kIntegerTypes[] = {
      "integer", "int", "long", "short", "byte", "nonNegativeInteger", "positiveInteger", "negativeInteger",
      "nonPositiveInteger", "unsignedLong", "unsignedInt", "unsignedShort", "unsignedByte"};
  for (std::string_view t : kIntegerTypes) {
    if (type == t) {
      if (auto v = parse_int(lexical)) return PropertyValue::integer(*v);
      return PropertyValue::string(std::move(lexical));
    }
  }
  if (type == "decimal" || type == "double" || type == "float") {
    std::optional<double> v = parse_decimal_or_double(lexical);
    if (!v && type != "decimal") v = parse_special_double(lexical);
    if (type == "decimal" && lexical.find_first_of("eE") != std::string::npos) v.reset();
    if (v) return PropertyValue::float64(*v);
    return PropertyValue::string(std::move(lexical));
  }
  if (type == "boolean") {
    if (lexical == "true" || lexical == "1") return PropertyValue::boolean(true);
    if (lexical == "false" || lexical == "0") return PropertyValue::boolean(false);
  }
  return PropertyValue::string(std::move(lexical));
}

}  // namespace

std::string local_name(std::string_view term) {
  term = trim(term);
  if (!term.empty() && term.front() == '<' && term.back() == '>' && term.size() >= 2) {
    std::string_view inner = term.substr(1, term.size() - 2);
    if (auto hash = inner.rfind('#'); hash != std::string_view::npos) return std::string(inner.substr(hash + 1));
    if (auto slash = inner.rfind('/'); slash != std::string_view::npos) return std::string(inner.substr(slash + 1));
    return std::string(inner);
  }
  if (auto colon = term.find(':'); colon != std::string_view::npos) return std::string(term.substr(colon + 1));
  return std::string(term);
}

PropertyValue literal_value(std::string_view term) {
  term = trim(term);
  if (term.empty()) return PropertyValue::string("");
  if (term.front() != '"') {
    if (term == "true") return PropertyValue::boolean(true);
    if (term == "false") return PropertyValue::boolean(false);
    if (auto v = parse_int(term)) return PropertyValue::integer(*v);
    if (auto v = parse_decimal_or_double(term)) return PropertyValue::float64(*v);
    return PropertyValue::string(std::string(term));
  }
  // The quoted value, escapes \\ \" \n \r undone, then its suffix.
  std::string value;
  size_t i = 1;
  for (; i < term.size() && term[i] != '"'; ++i) {
    if (term[i] == '\\' && i + 1 < term.size()) {
      ++i;
      value += term[i] == 'n' ? '\n' : term[i] == 'r' ? '\r' : term[i];
    } else {
      value += term[i];
    }
  }
  std::string_view suffix = i < term.size() ? term.substr(i + 1) : std::string_view();
  if (suffix.starts_with("^^")) return typed_value(std::move(value), suffix.substr(2));
  return PropertyValue::string(std::move(value));
}

}  // namespace zudizid::rdf_owl::importer
