#include "storage/node.h"

#include <fmt/format.h>

#include <algorithm>

#include "common/utf8.h"
#include "storage/assign_field.h"
#include "storage/json_fields.h"
#include "storage/msgpack_fields.h"
#include "storage/node_fields.h"

namespace zudizid {
namespace {

using namespace records_internal;
using mp::Kind;

constexpr std::string_view kNodeFields[] = {"id", "label", "properties", "kind"};
constexpr std::string_view kEdgeFields[] = {"id", "source", "target", "edge_type", "properties"};

const StructShape kNodeShape{"struct Node", "struct Node with 4 elements", kNodeFields};
const StructShape kEdgeShape{"struct Edge", "struct Edge with 5 elements", kEdgeFields};
const JsonStructShape kNodeJsonShape{"struct Node", "struct Node with 4 elements", kNodeFields};
const JsonStructShape kEdgeJsonShape{"struct Edge", "struct Edge with 5 elements", kEdgeFields};

const std::string kUnknownKind =
    "expected one of `Individual`, `Class`, `ObjectProperty`, `DataProperty`, `Restriction`, `AnnotationProperty`";

std::string_view as_text(std::span<const uint8_t> b) {
  return std::string_view(reinterpret_cast<const char*>(b.data()), b.size());
}

std::expected<NodeKind, std::string> kind_from_name(std::string_view name) {
  for (size_t k = 0; k < kNodeKindNames.size(); ++k)
    if (name == kNodeKindNames[k]) return static_cast<NodeKind>(k);
  return std::unexpected(fmt::format("unknown variant `{}`, {}", name, kUnknownKind));
}

// The variant identifier: a name (str or bin) or an unsigned index.
mp::Result<NodeKind> kind_identifier(mp::Reader& reader, const mp::Head& head) {
  switch (head.kind) {
    case Kind::Str:
    case Kind::Bin: {
      auto name = reader.read_payload(head.len);
      if (!name) return std::unexpected(name.error());
      auto kind = kind_from_name(as_text(*name));
      if (!kind) return std::unexpected(mp::Error{kind.error()});
      return *kind;
    }
    case Kind::UInt:
      if (head.u >= kNodeKindNames.size())
        return std::unexpected(invalid_value(fmt::format("integer `{}`", head.u), "variant index 0 <= i < 6"));
      return static_cast<NodeKind>(head.u);
    default: return std::unexpected(invalid_type_reading(reader, head, "variant identifier"));
  }
}

mp::Result<NodeKind> kind_from_msgpack(mp::Reader& reader, const mp::Head& head) {
  if (head.kind != Kind::Map) return kind_identifier(reader, head);
  if (head.len != 1)
    return std::unexpected(mp::Error{fmt::format("invalid length {}, expected map with a single key", head.len)});
  if (auto e = reader.enter(); !e) return std::unexpected(e.error());
  auto key = reader.read_head();
  if (!key) return std::unexpected(key.error());
  auto kind = kind_identifier(reader, *key);
  if (!kind) return kind;
  auto value = reader.read_head();
  if (!value) return std::unexpected(value.error());
  if (value->kind != Kind::Nil) return std::unexpected(invalid_type_reading(reader, *value, "unit"));
  reader.leave();
  return *kind;
}

// Reads a property map, handing each property read to `keep(slot, name,
// value)` in stored order (`name` views the input); with `only`, properties not named there are
// skipped undecoded and `slot` is the name's position in `only` (else 0).
template <class Keep>
mp::Result<void> read_properties(mp::Reader& reader, const mp::Head& head, const std::vector<std::string>* only,
                                 Keep&& keep) {
  if (head.kind != Kind::Map) return std::unexpected(invalid_type_reading(reader, head, "a map"));
  if (auto e = reader.enter(); !e) return std::unexpected(e.error());
  for (uint32_t k = 0; k < head.len; ++k) {
    auto key_head = reader.read_head();
    if (!key_head) return std::unexpected(key_head.error());
    auto name = read_text(reader, *key_head);
    if (!name) return std::unexpected(name.error());
    size_t slot = 0;
    if (only) {
      slot = static_cast<size_t>(std::find(only->begin(), only->end(), *name) - only->begin());
      if (slot == only->size()) {
        if (auto skipped = reader.skip_value(); !skipped) return std::unexpected(skipped.error());
        continue;
      }
    }
    auto value_head = reader.read_head();
    if (!value_head) return std::unexpected(value_head.error());
    auto pv = PropertyValue::read_msgpack(reader, *value_head);
    if (!pv) return std::unexpected(pv.error());
    keep(slot, *name, std::move(*pv));
  }
  reader.leave();
  return {};
}

mp::Result<PropertyMap> properties_from_msgpack(mp::Reader& reader, const mp::Head& head,
                                                const std::vector<std::string>* only = nullptr) {
  PropertyMap out;
  if (head.kind == Kind::Map) out.reserve(reader.plausible_count(head.len, 2));
  auto r = read_properties(reader, head, only, [&](size_t, std::string_view name, PropertyValue&& value) {
    out.insert_or_assign(std::string(name), std::move(value));  // the last occurrence wins
  });
  if (!r) return std::unexpected(r.error());
  return out;
}

// The Node struct walk, with `properties(reader, head)` reading the map.
template <class ReadProperties>
mp::Result<void> read_node(mp::Reader& reader, const mp::Head& head, Uuid& id, std::string& label, NodeKind& kind,
                           ReadProperties&& properties) {
  return read_struct(reader, head, kNodeShape, [&](size_t field, mp::Reader& rd, const mp::Head& h) -> mp::Result<void> {
    switch (field) {
      case 0: return assign(id, read_uuid(rd, h));
      case 1: return assign(label, read_string(rd, h));
      case 2: return properties(rd, h);
      default: return assign(kind, kind_from_msgpack(rd, h));
    }
  });
}

mp::Result<Node> node_from_msgpack(mp::Reader& reader, const mp::Head& head, const std::vector<std::string>* only) {
  Node node;
  auto r = read_node(reader, head, node.id, node.label, node.kind, [&](mp::Reader& rd, const mp::Head& h) {
    return assign(node.properties, properties_from_msgpack(rd, h, only));
  });
  if (!r) return std::unexpected(r.error());
  return node;
}

js::Result<NodeKind> kind_from_json_name(js::Reader& reader, std::string_view name) {
  auto kind = kind_from_name(name);
  if (!kind) return std::unexpected(reader.error_here(kind.error()));
  return *kind;
}

template <class Record>
DbResult<std::vector<uint8_t>> encode_record(const Record& record, const PropertyMap& properties) {
  if (auto ok = validate_properties_for_write(properties); !ok) return std::unexpected(DbError::msgpack_encode(ok.error()));
  std::vector<uint8_t> out;
  mp::Writer w(out);
  record.write_msgpack(w);
  if (w.failed()) return std::unexpected(DbError::msgpack_encode(w.error()));
  return out;
}

}  // namespace

// ---------------------------------------------------------------- NodeKind

mp::Result<NodeKind> node_kind_from_msgpack(mp::Reader& reader) {
  auto head = reader.read_head();
  if (!head) return std::unexpected(head.error());
  return kind_from_msgpack(reader, *head);
}

js::Result<NodeKind> node_kind_from_json(js::Reader& reader) {
  int c = reader.peek_token();
  if (c == '"') {
    auto name = reader.parse_string();
    if (!name) return std::unexpected(name.error());
    return kind_from_json_name(reader, *name);
  }
  if (c == js::Reader::kEof) return std::unexpected(reader.error_here("EOF while parsing a value"));
  if (c != '{') return std::unexpected(reader.error_next("expected value"));
  reader.bump();
  if (auto e = reader.enter(); !e) return std::unexpected(e.error());
  // The variant identifier may be any JSON value; only a string names one.
  js::Result<NodeKind> kind;
  if (reader.peek_token() == '"') {
    auto name = reader.parse_string();
    if (!name) return std::unexpected(name.error());
    kind = kind_from_json_name(reader, *name);
  } else {
    auto v = reader.parse_value();
    if (!v) return std::unexpected(v.error());
    kind = std::unexpected(json_invalid_type(reader, *v, "variant identifier"));
  }
  if (!kind) return kind;
  c = reader.peek_token();
  if (c == js::Reader::kEof) return std::unexpected(reader.error_here("EOF while parsing an object"));
  if (c != ':') return std::unexpected(reader.error_next("expected `:`"));
  reader.bump();
  auto unit = reader.parse_value();
  if (!unit) return std::unexpected(unit.error());
  if (!unit->is_null()) return std::unexpected(json_invalid_type(reader, *unit, "unit"));
  c = reader.peek_token();
  if (c == js::Reader::kEof) return std::unexpected(reader.error_here("EOF while parsing an object"));
  if (c != '}') return std::unexpected(reader.error_next("expected value"));
  reader.bump();
  reader.leave();
  return kind;
}

// ---------------------------------------------------------------- properties

void write_properties_msgpack(const PropertyMap& properties, mp::Writer& writer) {
  writer.write_map_header(properties.size());
  for (const auto& [name, value] : properties) {
    writer.write_str(name);
    value.to_msgpack(writer);
  }
}

mp::Result<PropertyMap> read_properties_msgpack(mp::Reader& reader) {
  auto head = reader.read_head();
  if (!head) return std::unexpected(head.error());
  return properties_from_msgpack(reader, *head);
}

mp::Result<PropertyMap> read_properties_msgpack(mp::Reader& reader, const mp::Head& head) {
  return properties_from_msgpack(reader, head);
}

void write_properties_json(js::Writer& writer, const PropertyMap& properties) {
  writer.key("properties");
  writer.begin_object();
  for (const auto& [name, value] : properties) {
    writer.key(name);
    value.to_json(writer);
  }
  writer.end_object();
}

js::Result<PropertyMap> read_properties_json(js::Reader& reader) {
  if (reader.peek_token() != '{') {
    auto v = reader.parse_value();
    if (!v) return std::unexpected(v.error());
    return std::unexpected(json_invalid_type(reader, *v, "a map"));
  }
  reader.bump();
  if (auto e = reader.enter(); !e) return std::unexpected(e.error());
  PropertyMap out;
  bool first = true;
  for (;;) {
    int c = reader.peek_token();
    if (c == js::Reader::kEof) return std::unexpected(reader.error_here("EOF while parsing an object"));
    if (first && c == '}') {
      reader.bump();
      break;
    }
    if (!first) {
      if (c == '}') {
        reader.bump();
        break;
      }
      if (c != ',') return std::unexpected(reader.error_next("expected `,` or `}`"));
      reader.bump();
      c = reader.peek_token();
      if (c == '}') return std::unexpected(reader.error_next("trailing comma"));
      if (c == js::Reader::kEof) return std::unexpected(reader.error_here("EOF while parsing an object"));
    }
    first = false;
    if (c != '"') return std::unexpected(reader.error_next("key must be a string"));
    auto name = reader.parse_string();
    if (!name) return std::unexpected(name.error());
    c = reader.peek_token();
    if (c == js::Reader::kEof) return std::unexpected(reader.error_here("EOF while parsing an object"));
    if (c != ':') return std::unexpected(reader.error_next("expected `:`"));
    reader.bump();
    auto value = reader.parse_value();
    if (!value) return std::unexpected(value.error());
    auto pv = PropertyValue::from_json(*value);
    if (!pv) return std::unexpected(reader.error_here(pv.error()));
    out.insert_or_assign(std::move(*name), std::move(*pv));
  }
  reader.leave();
  return out;
}

std::expected<void, std::string> validate_properties_for_write(const PropertyMap& properties) {
  for (const auto& [name, value] : properties)
    if (auto r = value.validate_for_write(); !r) return std::unexpected(fmt::format("property `{}`: {}", name, r.error()));
  return {};
}

std::expected<void, std::string> validate_properties_for_wal(const PropertyMap& properties) {
  for (const auto& [name, value] : properties)
    if (auto r = value.validate_for_wal(); !r) return std::unexpected(fmt::format("property `{}`: {}", name, r.error()));
  return {};
}

// ---------------------------------------------------------------- Node

void Node::write_msgpack(mp::Writer& w) const {
  w.write_array_header(4);
  w.write_bin(id.span());
  w.write_str(label);
  write_properties_msgpack(properties, w);
  w.write_str(node_kind_name(kind));
}

DbResult<std::vector<uint8_t>> Node::to_msgpack() const {
  return encode_record(*this, properties);
}

mp::Result<Node> Node::from_msgpack(mp::Reader& reader) {
  auto head = reader.read_head();
  if (!head) return std::unexpected(head.error());
  return from_msgpack(reader, *head);
}

mp::Result<Node> Node::from_msgpack(mp::Reader& reader, const mp::Head& head) {
  return node_from_msgpack(reader, head, nullptr);
}

mp::Result<Node> node_from_msgpack_with(mp::Reader& reader, const std::vector<std::string>& properties) {
  auto head = reader.read_head();
  if (!head) return std::unexpected(head.error());
  return node_from_msgpack(reader, *head, &properties);
}

mp::Result<void> node_fields_from_msgpack(mp::Reader& reader, const std::vector<std::string>& properties,
                                          NodeFields& out) {
  auto head = reader.read_head();
  if (!head) return std::unexpected(head.error());
  out.values.assign(properties.size(), std::nullopt);
  return read_node(reader, *head, out.id, out.label, out.kind, [&](mp::Reader& rd, const mp::Head& h) {
    return read_properties(rd, h, &properties, [&](size_t slot, std::string_view, PropertyValue&& value) {
      out.values[slot] = std::move(value);
    });
  });
}

void Node::to_json(js::Writer& w, std::string_view key, const Node& node) {
  w.key(key);
  w.begin_object();
  w.key("id");
  std::string id;
  node.id.append_to(id);
  w.string(id);
  w.key("label");
  w.string(node.label);
  write_properties_json(w, node.properties);
  w.key("kind");
  w.string(node_kind_name(node.kind));
  w.end_object();
}

js::Result<Node> Node::from_json(js::Reader& reader) {
  Node node;
  auto r = read_json_struct(reader, kNodeJsonShape, [&](size_t field, js::Reader& rd) -> js::Result<void> {
    switch (field) {
      case 0: return assign(node.id, read_json_uuid(rd));
      case 1: return assign(node.label, read_json_string(rd));
      case 2: return assign(node.properties, read_properties_json(rd));
      default: return assign(node.kind, node_kind_from_json(rd));
    }
  });
  if (!r) return std::unexpected(r.error());
  return node;
}

// ---------------------------------------------------------------- Edge

void Edge::write_msgpack(mp::Writer& w) const {
  w.write_array_header(5);
  w.write_bin(id.span());
  w.write_bin(source.span());
  w.write_bin(target.span());
  w.write_str(edge_type);
  write_properties_msgpack(properties, w);
}

DbResult<std::vector<uint8_t>> Edge::to_msgpack() const {
  return encode_record(*this, properties);
}

mp::Result<Edge> Edge::from_msgpack(mp::Reader& reader) {
  auto head = reader.read_head();
  if (!head) return std::unexpected(head.error());
  return from_msgpack(reader, *head);
}

mp::Result<Edge> Edge::from_msgpack(mp::Reader& reader, const mp::Head& head) {
  Edge edge;
  auto r = read_struct(reader, head, kEdgeShape, [&](size_t field, mp::Reader& rd, const mp::Head& h) -> mp::Result<void> {
    if (field <= 2) return assign(field == 0 ? edge.id : field == 1 ? edge.source : edge.target, read_uuid(rd, h));
    if (field == 3) return assign(edge.edge_type, read_string(rd, h));
    return assign(edge.properties, properties_from_msgpack(rd, h));
  });
  if (!r) return std::unexpected(r.error());
  return edge;
}

void Edge::to_json(js::Writer& w, const Edge& edge) {
  w.key("edge");
  w.begin_object();
  std::string text;
  const std::pair<const char*, const Uuid*> ids[] = {{"id", &edge.id}, {"source", &edge.source}, {"target", &edge.target}};
  for (const auto& [name, id] : ids) {
    w.key(name);
    text.clear();
    id->append_to(text);
    w.string(text);
  }
  w.key("edge_type");
  w.string(edge.edge_type);
  write_properties_json(w, edge.properties);
  w.end_object();
}

js::Result<Edge> Edge::from_json(js::Reader& reader) {
  Edge edge;
  auto r = read_json_struct(reader, kEdgeJsonShape, [&](size_t field, js::Reader& rd) -> js::Result<void> {
    if (field <= 2) return assign(field == 0 ? edge.id : field == 1 ? edge.source : edge.target, read_json_uuid(rd));
    if (field == 3) return assign(edge.edge_type, read_json_string(rd));
    return assign(edge.properties, read_properties_json(rd));
  });
  if (!r) return std::unexpected(r.error());
  return edge;
}

}  // namespace zudizid
