#include "storage/msgpack_fields.h"

#include <fmt/format.h>

#include <algorithm>

#include "common/utf8.h"

namespace zudizid::records_internal {
namespace {

using mp::Kind;

std::string_view as_text(std::span<const uint8_t> b) {
  return std::string_view(reinterpret_cast<const char*>(b.data()), b.size());
}

// Reserve at most this many vector elements up front, whatever a header claims.
constexpr size_t kMaxVectorReserve = 262144;

mp::Head byte_head(uint8_t b) {
  mp::Head h;
  h.marker = b <= 0x7f ? b : 0xcc;
  h.kind = Kind::UInt;
  h.u = b;
  return h;
}

}  // namespace

mp::Error invalid_type(const mp::Head& head, std::span<const uint8_t> payload, std::string_view expected) {
  return {fmt::format("invalid type: {}, expected {}", mp::describe(head, payload), expected)};
}

mp::Error invalid_value(std::string_view found, std::string_view expected) {
  return {fmt::format("invalid value: {}, expected {}", found, expected)};
}

mp::Error wrong_marker(const mp::Head& head) { return {"wrong msgpack marker " + mp::marker_name(head.marker)}; }

mp::Error invalid_utf8(std::span<const uint8_t> bytes) {
  return {"string found to be invalid utf8: " + common::validate_utf8(bytes)->message()};
}

mp::Error invalid_type_reading(mp::Reader& reader, const mp::Head& head, std::string_view expected) {
  if (head.kind == Kind::Reserved) return wrong_marker(head);
  if (head.kind == Kind::Str || head.kind == Kind::Bin || head.kind == Kind::Ext) {
    auto payload = reader.read_payload(head.len);
    if (!payload) return payload.error();
    if (head.kind == Kind::Str && !common::is_valid_utf8(as_text(*payload))) return invalid_utf8(*payload);
    return invalid_type(head, *payload, expected);
  }
  return invalid_type(head, {}, expected);
}

mp::Result<mp::Head> next_head(mp::Reader& reader) { return reader.read_head(); }

mp::Result<void> read_struct(mp::Reader& reader, const mp::Head& head, const StructShape& shape,
                             const FieldFn& field) {
  const size_t n_fields = shape.fields.size();
  switch (head.kind) {
    case Kind::Array: {
      if (auto e = reader.enter(); !e) return e;
      for (size_t k = 0; k < n_fields; ++k) {
        if (head.len <= k) return std::unexpected(mp::Error{fmt::format("invalid length {}, expected {}", k, shape.expecting_len)});
        auto h = reader.read_head();
        if (!h) return std::unexpected(h.error());
        if (auto r = field(k, reader, *h); !r) return r;
      }
      if (head.len > n_fields)
        return std::unexpected(mp::Error{fmt::format("array had incorrect length, expected {}", n_fields)});
      reader.leave();
      return {};
    }
    case Kind::Map: {
      if (auto e = reader.enter(); !e) return e;
      uint32_t seen = 0;
      for (uint32_t entry = 0; entry < head.len; ++entry) {
        auto key = reader.read_head();
        if (!key) return std::unexpected(key.error());
        size_t index = n_fields;  // none
        switch (key->kind) {
          case Kind::Str:
          case Kind::Bin: {
            auto name = reader.read_payload(key->len);
            if (!name) return std::unexpected(name.error());
            for (size_t k = 0; k < n_fields; ++k)
              if (as_text(*name) == shape.fields[k]) index = k;
            break;
          }
          case Kind::UInt:
            if (key->u < n_fields) index = static_cast<size_t>(key->u);
            break;
          case Kind::Reserved: return std::unexpected(wrong_marker(*key));
          case Kind::Ext: {
            auto payload = reader.read_payload(key->len);
            if (!payload) return std::unexpected(payload.error());
            return std::unexpected(invalid_type(*key, *payload, "field identifier"));
          }
          default: return std::unexpected(invalid_type(*key, {}, "field identifier"));
        }
        if (index == n_fields) {
          if (auto r = reader.skip_value(); !r) return r;
          continue;
        }
        if (seen & (1u << index))
          return std::unexpected(mp::Error{fmt::format("duplicate field `{}`", shape.fields[index])});
        seen |= 1u << index;
        auto h = reader.read_head();
        if (!h) return std::unexpected(h.error());
        if (auto r = field(index, reader, *h); !r) return r;
      }
      for (size_t k = 0; k < n_fields; ++k)
        if (!(seen & (1u << k)) && !(shape.optional_mask & (1u << k)))
          return std::unexpected(mp::Error{fmt::format("missing field `{}`", shape.fields[k])});
      reader.leave();
      return {};
    }
    case Kind::Bin: {
      auto bytes = reader.read_payload(head.len);
      if (!bytes) return std::unexpected(bytes.error());
      for (size_t k = 0; k < n_fields; ++k) {
        if (bytes->size() <= k)
          return std::unexpected(mp::Error{fmt::format("invalid length {}, expected {}", k, shape.expecting_len)});
        if (auto r = field(k, reader, byte_head((*bytes)[k])); !r) return r;
      }
      if (bytes->size() > n_fields)
        return std::unexpected(mp::Error{fmt::format("array had incorrect length, expected {}", n_fields)});
      return {};
    }
    default: return std::unexpected(invalid_type_reading(reader, head, shape.expecting));
  }
}

mp::Result<uint64_t> read_unsigned(mp::Reader& reader, const mp::Head& head, std::string_view expected,
                                   uint64_t max) {
  switch (head.kind) {
    case Kind::UInt:
      if (head.u > max) return std::unexpected(invalid_value(fmt::format("integer `{}`", head.u), expected));
      return head.u;
    case Kind::SInt:
      if (head.i < 0 || static_cast<uint64_t>(head.i) > max)
        return std::unexpected(invalid_value(fmt::format("integer `{}`", head.i), expected));
      return static_cast<uint64_t>(head.i);
    case Kind::Nil:
    case Kind::Bool:
    case Kind::F32:
    case Kind::F64: return std::unexpected(invalid_type(head, {}, expected));
    default: return std::unexpected(wrong_marker(head));
  }
}

mp::Result<std::optional<uint64_t>> read_optional_u64(mp::Reader& reader, const mp::Head& head) {
  if (head.kind == Kind::Nil) return std::optional<uint64_t>();
  auto v = read_unsigned(reader, head, "u64");
  if (!v) return std::unexpected(v.error());
  return std::optional<uint64_t>(*v);
}

mp::Result<std::string_view> read_text(mp::Reader& reader, const mp::Head& head) {
  if (head.kind != Kind::Str && head.kind != Kind::Bin) return std::unexpected(invalid_type_reading(reader, head, "a string"));
  auto payload = reader.read_payload(head.len);
  if (!payload) return std::unexpected(payload.error());
  if (!common::is_valid_utf8(as_text(*payload))) {
    if (head.kind == Kind::Str) return std::unexpected(invalid_utf8(*payload));
    return std::unexpected(invalid_value("byte array", "a string"));
  }
  return as_text(*payload);
}

mp::Result<std::string> read_string(mp::Reader& reader, const mp::Head& head) {
  auto text = read_text(reader, head);
  if (!text) return std::unexpected(text.error());
  return std::string(*text);
}

mp::Result<common::Uuid> read_uuid(mp::Reader& reader, const mp::Head& head) {
  switch (head.kind) {
    case Kind::Bin: {
      auto payload = reader.read_payload(head.len);
      if (!payload) return std::unexpected(payload.error());
      auto id = common::Uuid::from_slice(*payload);
      if (!id) return std::unexpected(mp::Error{"UUID parsing failed: " + id.error()});
      return *id;
    }
    case Kind::Str: {
      auto payload = reader.read_payload(head.len);
      if (!payload) return std::unexpected(payload.error());
      if (!common::is_valid_utf8(as_text(*payload))) return std::unexpected(invalid_utf8(*payload));
      auto id = common::Uuid::parse(as_text(*payload));
      if (!id) return std::unexpected(mp::Error{"UUID parsing failed: " + id.error()});
      return *id;
    }
    case Kind::Array: {
      if (auto e = reader.enter(); !e) return std::unexpected(e.error());
      common::Uuid::Bytes bytes;
      for (size_t k = 0; k < 16; ++k) {
        if (head.len <= k)
          return std::unexpected(mp::Error{fmt::format("invalid length {}, expected a UUID string", k)});
        auto h = reader.read_head();
        if (!h) return std::unexpected(h.error());
        auto b = read_unsigned(reader, *h, "u8", 255);
        if (!b) return std::unexpected(b.error());
        bytes[k] = static_cast<uint8_t>(*b);
      }
      if (head.len > 16) return std::unexpected(mp::Error{"array had incorrect length, expected 16"});
      reader.leave();
      return common::Uuid(bytes);
    }
    default: return std::unexpected(invalid_type_reading(reader, head, "a UUID string"));
  }
}

mp::Result<std::vector<float>> read_f32_vector(mp::Reader& reader, const mp::Head& head) {
  std::vector<float> out;
  if (head.kind == Kind::Bin) {
    auto payload = reader.read_payload(head.len);
    if (!payload) return std::unexpected(payload.error());
    out.assign(payload->begin(), payload->end());
    return out;
  }
  if (head.kind != Kind::Array) return std::unexpected(invalid_type_reading(reader, head, "a sequence"));
  if (auto e = reader.enter(); !e) return std::unexpected(e.error());
  out.reserve(std::min<size_t>(reader.plausible_count(head.len), kMaxVectorReserve));
  for (uint32_t k = 0; k < head.len; ++k) {
    auto h = reader.read_head();
    if (!h) return std::unexpected(h.error());
    switch (h->kind) {
      case Kind::F32: out.push_back(h->f32); break;
      case Kind::F64: out.push_back(static_cast<float>(h->f)); break;
      case Kind::UInt: out.push_back(static_cast<float>(h->u)); break;
      case Kind::SInt: out.push_back(static_cast<float>(h->i)); break;
      case Kind::Nil:
      case Kind::Bool: return std::unexpected(invalid_type(*h, {}, "f32"));
      default: return std::unexpected(wrong_marker(*h));
    }
  }
  reader.leave();
  return out;
}

}  // namespace zudizid::records_internal
