#include "fulltext/common/json_de.h"

#include <fmt/format.h>

#include <set>

namespace fendral::json_de {

std::string debug(const Error& e) {
  std::string quoted;
  json::append_string(quoted, e.message);
  return fmt::format("Error({}, line: {}, column: {})", quoted, e.line, e.column);
}

Error De::invalid_type(const json::Value& v, std::string_view expecting) {
  return r_.error_here(fmt::format("invalid type: {}, expected {}", json::describe(v), expecting));
}

bool De::next_is_null() {
  if (r_.peek_token() != 'n') return false;
  auto v = r_.parse_value();
  return v.has_value() && v->is_null();
}

Result<void> De::record(std::string_view expecting, const std::vector<std::string_view>& fields,
                        const std::function<Result<bool>(std::string_view key)>& on_field) {
  seq_len_.reset();
  int t = r_.peek_token();
  if (t == '{') {
    r_.bump();
    if (auto e = r_.enter(); !e) return e;
    std::set<std::string, std::less<>> seen;
    bool first = true;
    while (true) {
      int c = r_.peek_token();
      if (c == json::Reader::kEof) return std::unexpected(r_.error_here("EOF while parsing an object"));
      if (c == '}') {
        r_.bump();
        break;
      }
      if (!first) {
        if (c != ',') return std::unexpected(r_.error_next("expected `,` or `}`"));
        r_.bump();
        c = r_.peek_token();
        if (c == '}') return std::unexpected(r_.error_next("trailing comma"));
      }
      first = false;
      if (c != '"') return std::unexpected(r_.error_next("key must be a string"));
      auto key = r_.parse_string();
      if (!key) return std::unexpected(key.error());
      c = r_.peek_token();
      if (c != ':') {
        if (c == json::Reader::kEof) return std::unexpected(r_.error_here("EOF while parsing an object"));
        return std::unexpected(r_.error_next("expected `:`"));
      }
      r_.bump();
      bool known = false;
      for (auto f : fields) known = known || f == *key;
      if (known && !seen.insert(*key).second) {
        return std::unexpected(r_.error_here(fmt::format("duplicate field `{}`", *key)));
      }
      auto handled = on_field(*key);
      if (!handled) return std::unexpected(handled.error());
      if (!*handled) {
        if (auto s = r_.skip_value(); !s) return s;
      }
    }
    r_.leave();
    return {};
  }
  if (t == '[' && !fields.empty()) {
    size_t n = 0;
    auto r = elements([&](size_t i) -> Result<void> {
      if (i >= fields.size()) return std::unexpected(r_.error_here("trailing characters"));
      auto handled = on_field(fields[i]);
      if (!handled) return std::unexpected(handled.error());
      n = i + 1;
      if (!*handled) return r_.skip_value();
      return {};
    });
    if (!r) return r;
    seq_len_ = n;
    return {};
  }
  if (t == json::Reader::kEof) return std::unexpected(r_.error_here("EOF while parsing a value"));
  auto v = r_.parse_value();
  if (!v) return std::unexpected(v.error());
  return std::unexpected(invalid_type(*v, expecting));
}

Result<void> De::elements(const std::function<Result<void>(size_t index)>& on_element) {
  r_.bump();
  if (auto e = r_.enter(); !e) return e;
  for (size_t i = 0;; ++i) {
    int c = r_.peek_token();
    if (c == json::Reader::kEof) return std::unexpected(r_.error_here("EOF while parsing a list"));
    if (c == ']') {
      r_.bump();
      break;
    }
    if (i > 0) {
      if (c != ',') return std::unexpected(r_.error_next("expected `,` or `]`"));
      r_.bump();
      if (r_.peek_token() == ']') return std::unexpected(r_.error_next("trailing comma"));
    }
    if (auto r = on_element(i); !r) return r;
  }
  r_.leave();
  return {};
}

Result<void> De::sequence(const std::function<Result<void>()>& on_element) {
  if (r_.peek_token() != '[') {
    auto v = r_.parse_value();
    if (!v) return std::unexpected(v.error());
    return std::unexpected(invalid_type(*v, "a sequence"));
  }
  return elements([&](size_t) { return on_element(); });
}

Result<bool> De::boolean() {
  auto v = r_.parse_value();
  if (!v) return std::unexpected(v.error());
  if (!v->is_bool()) return std::unexpected(invalid_type(*v, "a boolean"));
  return v->as_bool();
}

Result<uint64_t> De::u64() {
  auto v = r_.parse_value();
  if (!v) return std::unexpected(v.error());
  if (v->type() == json::Value::Type::UInt) return v->as_uint();
  if (v->type() == json::Value::Type::Int) {
    return std::unexpected(r_.error_here(fmt::format("invalid value: integer `{}`, expected u64", v->as_int())));
  }
  return std::unexpected(invalid_type(*v, "u64"));
}

Result<uint32_t> De::u32() {
  auto v = r_.parse_value();
  if (!v) return std::unexpected(v.error());
  if (v->type() == json::Value::Type::UInt && v->as_uint() <= 0xFFFFFFFFull) return static_cast<uint32_t>(v->as_uint());
  if (v->type() == json::Value::Type::UInt) {
    return std::unexpected(r_.error_here(fmt::format("invalid value: integer `{}`, expected u32", v->as_uint())));
  }
  if (v->type() == json::Value::Type::Int) {
    return std::unexpected(r_.error_here(fmt::format("invalid value: integer `{}`, expected u32", v->as_int())));
  }
  return std::unexpected(invalid_type(*v, "u32"));
}

Result<std::string> De::string(std::string_view expecting) {
  if (r_.peek_token() == '"') return r_.parse_string();
  auto v = r_.parse_value();
  if (!v) return std::unexpected(v.error());
  return std::unexpected(invalid_type(*v, expecting));
}

}  // namespace fendral::json_de

namespace fendral::json_de {

std::string one_of(const std::vector<std::string_view>& names) {
  if (names.size() == 1) return fmt::format("`{}`", names[0]);
  if (names.size() == 2) return fmt::format("`{}` or `{}`", names[0], names[1]);
  std::string out = "one of ";
  for (size_t i = 0; i < names.size(); ++i) out += fmt::format("{}`{}`", i ? ", " : "", names[i]);
  return out;
}

Result<size_t> variant(De& de, const std::vector<std::string_view>& names) {
  auto v = de.value();
  if (!v) return std::unexpected(v.error());
  if (v->is_string()) {
    for (size_t i = 0; i < names.size(); ++i) {
      if (v->as_string() == names[i]) return i;
    }
    return std::unexpected(de.custom(fmt::format("unknown variant `{}`, expected {}", v->as_string(), one_of(names))));
  }
  if (v->type() == json::Value::Type::UInt) {
    if (v->as_uint() < names.size()) return static_cast<size_t>(v->as_uint());
    return std::unexpected(de.custom(
        fmt::format("invalid value: integer `{}`, expected variant index 0 <= i < {}", v->as_uint(), names.size())));
  }
  return std::unexpected(de.invalid_type(*v, "variant identifier"));
}

}  // namespace fendral::json_de
