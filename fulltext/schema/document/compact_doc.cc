#include "fulltext/schema/document/compact_doc.h"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "common/json.h"
#include "fulltext/common/utf8.h"
#include "fulltext/common/vint.h"

namespace fendral::schema {

namespace json = zudizid::common::json;

namespace {

constexpr int kMaxDepth = 128;

void put_le64(std::vector<uint8_t>& out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint64_t get_le64(const uint8_t* p) {
  uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v |= uint64_t{p[i]} << (8 * i);
  return v;
}

uint64_t f64_bits(double d) {
  uint64_t b;
  std::memcpy(&b, &d, 8);
  return b;
}

double f64_from_bits(uint64_t b) {
  double d;
  std::memcpy(&d, &b, 8);
  return d;
}

// The stored image of a double: sign bit set for positives, all bits
// inverted for negatives.
uint64_t f64_image(double d) {
  uint64_t u = f64_bits(d);
  return (u >> 63) ? ~u : u | (uint64_t{1} << 63);
}
double f64_from_image(uint64_t u) { return f64_from_bits((u >> 63) ? u & ~(uint64_t{1} << 63) : ~u); }

void append_addr(std::vector<uint8_t>& list, NodeAddr a) {
  list.push_back(static_cast<uint8_t>(a.kind));
  vint::append(list, a.offset);
}

FendralError corrupt_node(const std::string& what) {
  return FendralError::internal_error(fmt::format("Corrupted document node buffer: {}", what));
}

}  // namespace

// ---- CompactDoc --------------------------------------------------------------------

NodeAddr CompactDoc::add_value(const OwnedValue& value) {
  auto here = [&] { return static_cast<uint32_t>(nodes_.size()); };
  auto bytes_node = [&](NodeKind k, std::span<const uint8_t> b) {
    uint32_t off = here();
    vint::append(nodes_, b.size());
    nodes_.insert(nodes_.end(), b.begin(), b.end());
    return NodeAddr{k, off};
  };
  auto text_span = [](const std::string& s) {
    return std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(s.data()), s.size());
  };
  switch (value.v.index()) {
    case 0: return {NodeKind::Null, 0};
    case 1: return bytes_node(NodeKind::Str, text_span(std::get<std::string>(value.v)));
    case 2: return bytes_node(NodeKind::PreTokStr, text_span(std::get<tokenizer::PreTokenizedString>(value.v).to_json()));
    case 3: {
      uint32_t off = here();
      put_le64(nodes_, std::get<uint64_t>(value.v));
      return {NodeKind::U64, off};
    }
    case 4: {
      uint32_t off = here();
      put_le64(nodes_, static_cast<uint64_t>(std::get<int64_t>(value.v)));
      return {NodeKind::I64, off};
    }
    case 5: {
      uint32_t off = here();
      put_le64(nodes_, f64_bits(std::get<double>(value.v)));
      return {NodeKind::F64, off};
    }
    case 6: return {NodeKind::Bool, std::get<bool>(value.v) ? 1u : 0u};
    case 7: {
      uint32_t off = here();
      put_le64(nodes_, static_cast<uint64_t>(std::get<DateValue>(value.v).nanos));
      return {NodeKind::Date, off};
    }
    case 8: return bytes_node(NodeKind::Facet, text_span(std::get<FacetValue>(value.v).encoded));
    case 9: return bytes_node(NodeKind::Bytes, std::get<BytesValue>(value.v).bytes);
    case 10: {
      std::vector<uint8_t> list;
      for (const auto& e : std::get<OwnedArray>(value.v)) append_addr(list, add_value(e));
      return bytes_node(NodeKind::Array, list);
    }
    case 11: {
      std::vector<uint8_t> list;
      for (const auto& [k, val] : std::get<OwnedObject>(value.v)) {
        NodeAddr key = add_value(OwnedValue(k));
        NodeAddr v = add_value(val);
        append_addr(list, key);
        append_addr(list, v);
      }
      return bytes_node(NodeKind::Object, list);
    }
    case 12: {
      uint32_t off = here();
      const auto& ip = std::get<IpValue>(value.v);
      for (int i = 15; i >= 0; --i) nodes_.push_back(ip[i]);
      return {NodeKind::IpAddr, off};
    }
  }
  return {NodeKind::Null, 0};
}

Result<void> CompactDoc::add_field_value(Field field, const OwnedValue& value) {
  if (field > 0xFFFF) return fail(FendralError::invalid_argument("support only up to u16::MAX field ids"));
  NodeAddr a = add_value(value);
  entries_.push_back(Entry{static_cast<uint16_t>(field), a.kind, a.offset});
  return {};
}

Result<OwnedValue> CompactDoc::decode(NodeAddr addr, int depth) const {
  if (depth > kMaxDepth) return fail(corrupt_node("nesting too deep"));
  auto need = [&](size_t n) { return static_cast<size_t>(addr.offset) + n <= nodes_.size(); };
  auto read_len_bytes = [&]() -> Result<std::span<const uint8_t>> {
    if (addr.offset > nodes_.size()) return fail(corrupt_node("offset past the end"));
    std::span<const uint8_t> in(nodes_.data() + addr.offset, nodes_.size() - addr.offset);
    auto len = vint::read_u64(in);
    if (!len || *len > in.size()) return fail(corrupt_node("length past the end"));
    return in.first(*len);
  };
  switch (addr.kind) {
    case NodeKind::Null: return OwnedValue();
    case NodeKind::Bool: return OwnedValue(addr.offset != 0);
    case NodeKind::U64:
    case NodeKind::I64:
    case NodeKind::F64:
    case NodeKind::Date: {
      if (!need(8)) return fail(corrupt_node("number past the end"));
      uint64_t v = get_le64(nodes_.data() + addr.offset);
      if (addr.kind == NodeKind::U64) return OwnedValue(v);
      if (addr.kind == NodeKind::I64) return OwnedValue(static_cast<int64_t>(v));
      if (addr.kind == NodeKind::F64) return OwnedValue(f64_from_bits(v));
      return OwnedValue(DateValue{static_cast<int64_t>(v)});
    }
    case NodeKind::IpAddr: {
      if (!need(16)) return fail(corrupt_node("address past the end"));
      IpValue ip;
      for (int i = 0; i < 16; ++i) ip[i] = nodes_[addr.offset + 15 - i];
      return OwnedValue(ip);
    }
    case NodeKind::Str:
    case NodeKind::Facet:
    case NodeKind::Bytes:
    case NodeKind::PreTokStr: {
      auto b = read_len_bytes();
      if (!b) return std::unexpected(b.error());
      std::string s(b->begin(), b->end());
      if (addr.kind == NodeKind::Bytes) return OwnedValue(BytesValue{std::vector<uint8_t>(b->begin(), b->end())});
      if (addr.kind == NodeKind::Facet) return OwnedValue(FacetValue{s});
      if (addr.kind == NodeKind::Str) return OwnedValue(s);
      auto p = tokenizer::PreTokenizedString::from_json(s);
      if (!p) return fail(corrupt_node("pre-tokenized text does not parse"));
      return OwnedValue(std::move(*p));
    }
    case NodeKind::Array:
    case NodeKind::Object: {
      auto list = read_len_bytes();
      if (!list) return std::unexpected(list.error());
      std::span<const uint8_t> in = *list;
      std::vector<NodeAddr> addrs;
      while (!in.empty()) {
        uint8_t kind = in[0];
        in = in.subspan(1);
        if (kind > 12) return fail(corrupt_node(fmt::format("Invalid value type id: {}", kind)));
        auto off = vint::read_u32(in);
        if (!off) return fail(corrupt_node(off.error().display()));
        addrs.push_back(NodeAddr{static_cast<NodeKind>(kind), *off});
      }
      if (addr.kind == NodeKind::Array) {
        OwnedArray out;
        for (auto a : addrs) {
          auto v = decode(a, depth + 1);
          if (!v) return std::unexpected(v.error());
          out.push_back(std::move(*v));
        }
        return OwnedValue(std::move(out));
      }
      if (addrs.size() % 2 != 0) return fail(corrupt_node("object member without a value"));
      OwnedObject out;
      for (size_t i = 0; i < addrs.size(); i += 2) {
        auto k = decode(addrs[i], depth + 1);
        if (!k) return std::unexpected(k.error());
        auto* key = std::get_if<std::string>(&k->v);
        if (!key) return fail(corrupt_node("object key is not a text"));
        auto v = decode(addrs[i + 1], depth + 1);
        if (!v) return std::unexpected(v.error());
        out.emplace_back(std::move(*key), std::move(*v));
      }
      return OwnedValue(std::move(out));
    }
  }
  return fail(corrupt_node("unknown node kind"));
}

Result<OwnedValue> CompactDoc::entry_value(size_t i) const {
  return decode(NodeAddr{entries_[i].kind, entries_[i].offset}, 0);
}

Result<std::vector<std::pair<Field, OwnedValue>>> CompactDoc::field_values() const {
  std::vector<std::pair<Field, OwnedValue>> out;
  for (size_t i = 0; i < entries_.size(); ++i) {
    auto v = entry_value(i);
    if (!v) return std::unexpected(v.error());
    out.emplace_back(entries_[i].field, std::move(*v));
  }
  return out;
}

// ---- stored form: writing ----------------------------------------------------------

namespace {

void put_len_bytes(std::vector<uint8_t>& out, uint8_t code, std::string_view b) {
  out.push_back(code);
  vint::append(out, b.size());
  out.insert(out.end(), b.begin(), b.end());
}

IoResult<void> serialize_value_at(const OwnedValue& value, std::vector<uint8_t>& out, bool top_level) {
  switch (value.v.index()) {
    case 0: out.push_back(11); return {};
    case 1: put_len_bytes(out, 0, std::get<std::string>(value.v)); return {};
    case 2: {
      const auto& p = std::get<tokenizer::PreTokenizedString>(value.v);
      if (top_level) {
        put_len_bytes(out, 0, p.text);  // only the text is stored at the top level
      } else {
        out.push_back(7);
        put_len_bytes(out, 0, p.to_json());
      }
      return {};
    }
    case 3: out.push_back(1); put_le64(out, std::get<uint64_t>(value.v)); return {};
    case 4: out.push_back(2); put_le64(out, static_cast<uint64_t>(std::get<int64_t>(value.v))); return {};
    case 5: out.push_back(6); put_le64(out, f64_image(std::get<double>(value.v))); return {};
    case 6: out.push_back(9); out.push_back(std::get<bool>(value.v) ? 1 : 0); return {};
    case 7: out.push_back(5); put_le64(out, static_cast<uint64_t>(std::get<DateValue>(value.v).nanos)); return {};
    case 8: put_len_bytes(out, 3, std::get<FacetValue>(value.v).encoded); return {};
    case 9: {
      const auto& b = std::get<BytesValue>(value.v).bytes;
      put_len_bytes(out, 4, std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
      return {};
    }
    case 10: {
      const auto& arr = std::get<OwnedArray>(value.v);
      out.push_back(12);
      vint::append(out, arr.size());
      for (const auto& e : arr) {
        if (auto r = serialize_value_at(e, out, false); !r) return r;
      }
      return {};
    }
    case 11: {
      const auto& obj = std::get<OwnedObject>(value.v);
      out.push_back(13);
      vint::append(out, obj.size() * 2);
      for (const auto& [k, v] : obj) {
        put_len_bytes(out, 0, k);
        if (auto r = serialize_value_at(v, out, false); !r) return r;
      }
      return {};
    }
    case 12: {
      out.push_back(10);
      const auto& ip = std::get<IpValue>(value.v);
      for (int i = 15; i >= 0; --i) out.push_back(ip[i]);
      return {};
    }
  }
  return {};
}

}  // namespace

IoResult<void> serialize_value(const OwnedValue& value, std::vector<uint8_t>& out) {
  return serialize_value_at(value, out, false);
}

namespace {

// VInt count of stored values, then per stored value its u32 LE field id and
// the value; `value_at(i)` gives entry i's value.
template <class FieldAt, class ValueAt>
IoResult<void> serialize_entries(size_t num_entries, const FieldAt& field_at,
                                 const ValueAt& value_at, const Schema& schema, std::vector<uint8_t>& out) {
  auto stored = [&](Field f) { return f < schema.num_fields() && schema.get_field_entry(f).is_stored(); };
  uint64_t n = 0;
  for (size_t i = 0; i < num_entries; ++i) n += stored(field_at(i)) ? 1 : 0;
  vint::append(out, n);
  uint64_t written = 0;
  for (size_t i = 0; i < num_entries; ++i) {
    Field f = field_at(i);
    if (!stored(f)) continue;
    auto value = value_at(i);
    if (!value) return io_fail(IoErrorKind::InvalidData, value.error().display());
    for (int b = 0; b < 4; ++b) out.push_back(static_cast<uint8_t>(f >> (8 * b)));
    if (auto r = serialize_value_at(**value, out, true); !r) return r;
    ++written;
  }
  if (written != n) {
    return io_fail(IoErrorKind::Other,
                   fmt::format("Unexpected number of entries written to serializer, expected {} entries, got {} entries",
                               n, written));
  }
  return {};
}

}  // namespace

IoResult<void> serialize_doc(const CompactDoc& doc, const Schema& schema, std::vector<uint8_t>& out) {
  OwnedValue decoded;
  return serialize_entries(
      doc.num_entries(), [&](size_t i) { return doc.entry_field(i); },
      [&](size_t i) -> Result<const OwnedValue*> {
        auto v = doc.entry_value(i);
        if (!v) return std::unexpected(v.error());
        decoded = std::move(*v);
        return &decoded;
      },
      schema, out);
}

IoResult<void> serialize_doc(const std::vector<std::pair<Field, OwnedValue>>& values, const Schema& schema,
                             std::vector<uint8_t>& out) {
  return serialize_entries(
      values.size(), [&](size_t i) { return values[i].first; },
      [&](size_t i) -> Result<const OwnedValue*> { return &values[i].second; }, schema, out);
}

// ---- stored form: reading ----------------------------------------------------------

namespace {

std::unexpected<DeserializeError> corrupted(IoErrorKind kind, std::string message) {
  return std::unexpected(DeserializeError::corrupted(IoError(kind, std::move(message))));
}

std::unexpected<DeserializeError> short_read() { return corrupted(IoErrorKind::UnexpectedEof, "failed to fill whole buffer"); }

std::expected<uint64_t, DeserializeError> read_vint(std::span<const uint8_t>& in) {
  auto v = vint::read_u64(in);
  if (!v) return std::unexpected(DeserializeError::corrupted(v.error()));
  return *v;
}

std::expected<std::span<const uint8_t>, DeserializeError> take(std::span<const uint8_t>& in, uint64_t n) {
  if (n > in.size()) return short_read();
  auto out = in.first(n);
  in = in.subspan(n);
  return out;
}

// A length-prefixed UTF-8 text. A length running past the end is corrupt
// data (the bytes that remain are not the value).
std::expected<std::string, DeserializeError> read_text(std::span<const uint8_t>& in) {
  auto len = read_vint(in);
  if (!len) return std::unexpected(len.error());
  auto bytes = take(in, *len);
  if (!bytes) return std::unexpected(bytes.error());
  if (!is_valid_utf8(*bytes)) return corrupted(IoErrorKind::InvalidData, "stream did not contain valid UTF-8");
  return std::string(bytes->begin(), bytes->end());
}

std::expected<OwnedValue, DeserializeError> read_value(std::span<const uint8_t>& in, StoredValueType type,
                                                       uint32_t version, int depth);

std::expected<OwnedValue, DeserializeError> read_typed_value(std::span<const uint8_t>& in, uint32_t version, int depth) {
  auto t = read_value_type(in);
  if (!t) return std::unexpected(t.error());
  return read_value(in, *t, version, depth);
}

std::expected<OwnedValue, DeserializeError> read_value(std::span<const uint8_t>& in, StoredValueType type,
                                                       uint32_t version, int depth) {
  if (depth > kMaxDepth) return corrupted(IoErrorKind::InvalidData, "stored value nested too deeply");
  switch (type) {
    case StoredValueType::Null: return OwnedValue();
    case StoredValueType::String:
    case StoredValueType::Facet: {
      auto s = read_text(in);
      if (!s) return std::unexpected(s.error());
      if (type == StoredValueType::Facet) return OwnedValue(FacetValue{std::move(*s)});
      return OwnedValue(std::move(*s));
    }
    case StoredValueType::Bytes: {
      auto len = read_vint(in);
      if (!len) return std::unexpected(len.error());
      auto b = take(in, *len);
      if (!b) return std::unexpected(b.error());
      return OwnedValue(BytesValue{std::vector<uint8_t>(b->begin(), b->end())});
    }
    case StoredValueType::U64:
    case StoredValueType::I64:
    case StoredValueType::F64:
    case StoredValueType::DateTime: {
      auto b = take(in, 8);
      if (!b) return std::unexpected(b.error());
      uint64_t v = get_le64(b->data());
      if (type == StoredValueType::U64) return OwnedValue(v);
      if (type == StoredValueType::I64) return OwnedValue(static_cast<int64_t>(v));
      if (type == StoredValueType::F64) return OwnedValue(f64_from_image(v));
      int64_t n = static_cast<int64_t>(v);
      if (version == 1) n = static_cast<int64_t>(static_cast<uint64_t>(n) * 1000);
      return OwnedValue(DateValue{n});
    }
    case StoredValueType::IpAddr: {
      auto b = take(in, 16);
      if (!b) return std::unexpected(b.error());
      IpValue ip;
      for (int i = 0; i < 16; ++i) ip[i] = (*b)[15 - i];
      return OwnedValue(ip);
    }
    case StoredValueType::Bool: {
      auto b = take(in, 1);
      if (!b) return std::unexpected(b.error());
      if ((*b)[0] > 1) {
        return corrupted(IoErrorKind::InvalidData, "invalid bool value on deserialization, data corrupted");
      }
      return OwnedValue((*b)[0] == 1);
    }
    case StoredValueType::PreTokStr: {
      auto s = read_text(in);
      if (!s) return std::unexpected(s.error());
      auto p = tokenizer::PreTokenizedString::from_json(*s);
      if (!p) return corrupted(IoErrorKind::Other, "Failed to parse string data as PreTokenizedString.");
      return OwnedValue(std::move(*p));
    }
    case StoredValueType::Array: {
      auto count = read_vint(in);
      if (!count) return std::unexpected(count.error());
      OwnedArray out;  // no reservation: the count comes from the data
      for (uint64_t i = 0; i < *count; ++i) {
        auto v = read_typed_value(in, version, depth + 1);
        if (!v) return std::unexpected(v.error());
        out.push_back(std::move(*v));
      }
      return OwnedValue(std::move(out));
    }
    case StoredValueType::Object: {
      auto count = read_vint(in);
      if (!count) return std::unexpected(count.error());
      if (*count % 2 != 0) {
        return corrupted(IoErrorKind::InvalidData,
                         "Deserializer should not be empty as it is not marked as complete, this is a bug");
      }
      OwnedObject out;
      for (uint64_t i = 0; i < *count; i += 2) {
        auto kt = read_value_type(in);
        if (!kt) return std::unexpected(kt.error());
        if (*kt != StoredValueType::String) {
          return std::unexpected(DeserializeError::type_mismatch(StoredValueType::String, *kt));
        }
        auto key = read_text(in);
        if (!key) return std::unexpected(key.error());
        auto v = read_typed_value(in, version, depth + 1);
        if (!v) return std::unexpected(v.error());
        out.emplace_back(std::move(*key), std::move(*v));
      }
      return OwnedValue(std::move(out));
    }
    case StoredValueType::JSONObject: {
      std::string_view text(reinterpret_cast<const char*>(in.data()), in.size());
      json::Reader reader(text);
      if (reader.peek_token() != '{') {
        auto v = reader.parse_value();
        if (!v) return std::unexpected(DeserializeError::custom(v.error().to_string()));
        return std::unexpected(DeserializeError::custom(
            fmt::format("invalid type: {}, expected a map", json::describe(*v))));
      }
      auto v = reader.parse_value();
      if (!v) return std::unexpected(DeserializeError::custom(v.error().to_string()));
      in = in.subspan(reader.position());
      return OwnedValue::from_json(*v);
    }
  }
  return corrupted(IoErrorKind::InvalidData, "unknown value type");
}

}  // namespace

std::expected<StoredValueType, DeserializeError> read_value_type(std::span<const uint8_t>& in) {
  if (in.empty()) return short_read();
  uint8_t code = in[0];
  in = in.subspan(1);
  switch (code) {
    case 0: return StoredValueType::String;
    case 1: return StoredValueType::U64;
    case 2: return StoredValueType::I64;
    case 3: return StoredValueType::Facet;
    case 4: return StoredValueType::Bytes;
    case 5: return StoredValueType::DateTime;
    case 6: return StoredValueType::F64;
    case 7: {
      if (in.empty()) return short_read();
      uint8_t ext = in[0];
      in = in.subspan(1);
      if (ext != 0) {
        return corrupted(IoErrorKind::InvalidData, fmt::format("No extended field type is associated with code {}", ext));
      }
      return StoredValueType::PreTokStr;
    }
    case 8: return StoredValueType::JSONObject;
    case 9: return StoredValueType::Bool;
    case 10: return StoredValueType::IpAddr;
    case 11: return StoredValueType::Null;
    case 12: return StoredValueType::Array;
    case 13: return StoredValueType::Object;
    default: return corrupted(IoErrorKind::InvalidData, fmt::format("No field type is associated with code {}", code));
  }
}

std::expected<OwnedValue, DeserializeError> deserialize_value(std::span<const uint8_t>& in, StoredValueType type,
                                                              uint32_t store_version) {
  return read_value(in, type, store_version, 0);
}

std::expected<CompactDoc, DeserializeError> deserialize_doc(std::span<const uint8_t> bytes, uint32_t store_version) {
  std::span<const uint8_t> in = bytes;
  auto n = read_vint(in);
  if (!n) return std::unexpected(n.error());
  CompactDoc doc;
  for (uint64_t i = 0; i < *n; ++i) {
    auto f = take(in, 4);
    if (!f) return std::unexpected(f.error());
    uint32_t field = uint32_t((*f)[0]) | uint32_t((*f)[1]) << 8 | uint32_t((*f)[2]) << 16 | uint32_t((*f)[3]) << 24;
    auto v = read_typed_value(in, store_version, 0);
    if (!v) return std::unexpected(v.error());
    if (auto r = doc.add_field_value(field, *v); !r) {
      return corrupted(IoErrorKind::InvalidData, r.error().text());
    }
  }
  return doc;
}

}  // namespace fendral::schema
