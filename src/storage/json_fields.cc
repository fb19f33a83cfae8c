#include "storage/json_fields.h"

#include <fmt/format.h>

namespace zudizid::records_internal {

js::Error json_invalid_type(const js::Reader& reader, const js::Value& found, std::string_view expected) {
  return reader.error_here(fmt::format("invalid type: {}, expected {}", js::describe(found), expected));
}

js::Result<void> read_json_struct(js::Reader& reader, const JsonStructShape& shape, const JsonFieldFn& field) {
  int c = reader.peek_token();
  if (c == '{' || c == '[') return read_json_struct_body(reader, shape, field);
  auto v = reader.parse_value();
  if (!v) return std::unexpected(v.error());
  return std::unexpected(json_invalid_type(reader, *v, shape.expecting));
}

js::Result<void> read_json_struct_body(js::Reader& reader, const JsonStructShape& shape, const JsonFieldFn& field) {
  const size_t n_fields = shape.fields.size();
  const int open = reader.peek_token();
  reader.bump();
  if (auto e = reader.enter(); !e) return e;
  if (open == '[') {
    for (size_t k = 0; k < n_fields; ++k) {
      int c = reader.peek_token();
      if (k > 0) {
        if (c == ',') {
          reader.bump();
          if (reader.peek_token() == ']') return std::unexpected(reader.error_next("trailing comma"));
        } else if (c == ']') {
          reader.bump();
          return std::unexpected(reader.error_here(fmt::format("invalid length {}, expected {}", k, shape.expecting_len)));
        } else if (c == js::Reader::kEof) {
          return std::unexpected(reader.error_here("EOF while parsing a list"));
        } else {
          return std::unexpected(reader.error_next("expected `,` or `]`"));
        }
      } else if (c == ']') {
        reader.bump();
        return std::unexpected(reader.error_here(fmt::format("invalid length 0, expected {}", shape.expecting_len)));
      }
      if (auto r = field(k, reader); !r) return r;
    }
    int c = reader.peek_token();
    if (c == ']') {
      reader.bump();
    } else if (c == ',') {
      reader.bump();
      if (reader.peek_token() == ']') return std::unexpected(reader.error_next("trailing comma"));
      return std::unexpected(reader.error_next("trailing characters"));
    } else if (c == js::Reader::kEof) {
      return std::unexpected(reader.error_here("EOF while parsing a list"));
    } else {
      return std::unexpected(reader.error_next("trailing characters"));
    }
    reader.leave();
    return {};
  }
  // Object form.
  uint32_t seen = 0;
  bool first = true;
  for (;;) {
    int c = reader.peek_token();
    if (c == js::Reader::kEof) return std::unexpected(reader.error_here("EOF while parsing an object"));
    if (c == '}') {
      if (!first) return std::unexpected(reader.error_next("trailing comma"));
      reader.bump();
      break;
    }
    if (!first) {
      if (c != ',') return std::unexpected(reader.error_next("expected `,` or `}`"));
      reader.bump();
      c = reader.peek_token();
      if (c == '}') return std::unexpected(reader.error_next("trailing comma"));
      if (c == js::Reader::kEof) return std::unexpected(reader.error_here("EOF while parsing an object"));
    }
    if (c != '"') return std::unexpected(reader.error_next("key must be a string"));
    auto key = reader.parse_string();
    if (!key) return std::unexpected(key.error());
    c = reader.peek_token();
    if (c == js::Reader::kEof) return std::unexpected(reader.error_here("EOF while parsing an object"));
    if (c != ':') return std::unexpected(reader.error_next("expected `:`"));
    reader.bump();
    size_t index = n_fields;
    for (size_t k = 0; k < n_fields; ++k)
      if (*key == shape.fields[k]) index = k;
    if (index == n_fields) {
      if (auto r = reader.skip_value(); !r) return r;
    } else {
      if (seen & (1u << index))
        return std::unexpected(reader.error_here(fmt::format("duplicate field `{}`", shape.fields[index])));
      seen |= 1u << index;
      if (auto r = field(index, reader); !r) return r;
    }
    first = false;
    c = reader.peek_token();
    if (c == '}') {
      reader.bump();
      break;
    }
  }
  for (size_t k = 0; k < n_fields; ++k)
    if (!(seen & (1u << k)))
      return std::unexpected(reader.error_here(fmt::format("missing field `{}`", shape.fields[k])));
  reader.leave();
  return {};
}

js::Result<uint64_t> read_json_u64(js::Reader& reader) {
  auto v = reader.parse_value();
  if (!v) return std::unexpected(v.error());
  if (v->type() == js::Value::Type::UInt) return v->as_uint();
  if (v->type() == js::Value::Type::Int)
    return std::unexpected(reader.error_here(fmt::format("invalid value: integer `{}`, expected u64", v->as_int())));
  return std::unexpected(json_invalid_type(reader, *v, "u64"));
}

js::Result<std::vector<uint64_t>> read_json_u64_list(js::Reader& reader) {
  std::vector<uint64_t> out;
  if (reader.peek_token() != '[') {
    auto v = reader.parse_value();
    if (!v) return std::unexpected(v.error());
    return std::unexpected(json_invalid_type(reader, *v, "a sequence"));
  }
  reader.bump();
  if (auto e = reader.enter(); !e) return std::unexpected(e.error());
  int c = reader.peek_token();
  if (c == ']') {
    reader.bump();
    reader.leave();
    return out;
  }
  for (;;) {
    auto v = read_json_u64(reader);
    if (!v) return std::unexpected(v.error());
    out.push_back(*v);
    c = reader.peek_token();
    if (c == ']') {
      reader.bump();
      break;
    }
    if (c == js::Reader::kEof) return std::unexpected(reader.error_here("EOF while parsing a list"));
    if (c != ',') return std::unexpected(reader.error_next("expected `,` or `]`"));
    reader.bump();
    if (reader.peek_token() == ']') return std::unexpected(reader.error_next("trailing comma"));
  }
  reader.leave();
  return out;
}

js::Result<std::string> read_json_string(js::Reader& reader) {
  auto v = reader.parse_value();
  if (!v) return std::unexpected(v.error());
  if (!v->is_string()) return std::unexpected(json_invalid_type(reader, *v, "a string"));
  return v->as_string();
}

js::Result<common::Uuid> read_json_uuid(js::Reader& reader) {
  auto v = reader.parse_value();
  if (!v) return std::unexpected(v.error());
  if (!v->is_string()) return std::unexpected(json_invalid_type(reader, *v, "a UUID string"));
  auto id = common::Uuid::parse(v->as_string());
  if (!id) return std::unexpected(reader.error_here("UUID parsing failed: " + id.error()));
  return *id;
}

}  // namespace zudizid::records_internal
