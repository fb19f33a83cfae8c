// Node, Edge and NodeKind: the graph's two record types and the ontology kind
// every node carries, with their stored MessagePack form and the JSON form
// the write-ahead log carries.
//
// MessagePack (positional arrays, no field names, shortest headers):
//   Node  94 | id (c4 10 + 16 bytes) | label str | properties map | kind name str
//   Edge  95 | id | source | target | edge_type str | properties map
// The property map's iteration order is not defined, so two encodings of one
// record need not be byte-identical; nothing compares encoded records.
//
// JSON (compact): {"id":"<36-char id>","label":...,"properties":{...},"kind":"Class"}
// and {"id":...,"source":...,"target":...,"edge_type":...,"properties":{...}}.
//
// Readers accept the forms described in storage/msgpack_fields.h and
// storage/json_fields.h and fail with the texts given there; they never
// return a partly built record.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "common/json.h"
#include "common/msgpack.h"
#include "common/uuid.h"
#include "storage/db_error.h"
#include "storage/property_value.h"

namespace zudizid {

using common::Uuid;
using PropertyMap = std::unordered_map<std::string, PropertyValue>;

enum class NodeKind : uint8_t {
  Individual = 0,
  Class = 1,
  ObjectProperty = 2,
  DataProperty = 3,
  Restriction = 4,
  AnnotationProperty = 5,
};

inline constexpr std::array<std::string_view, 6> kNodeKindNames = {
    "Individual", "Class", "ObjectProperty", "DataProperty", "Restriction", "AnnotationProperty"};

inline std::string_view node_kind_name(NodeKind kind) { return kNodeKindNames[static_cast<size_t>(kind)]; }

// Readers of a NodeKind on its own.
common::msgpack::Result<NodeKind> node_kind_from_msgpack(common::msgpack::Reader& reader);
common::json::Result<NodeKind> node_kind_from_json(common::json::Reader& reader);

struct Node {
  Uuid id;
  std::string label;
  PropertyMap properties;
  NodeKind kind = NodeKind::Individual;

  void write_msgpack(common::msgpack::Writer& writer) const;
  // The stored form; refuses properties nested beyond the write limit.
  DbResult<std::vector<uint8_t>> to_msgpack() const;
  // Reads one Node value at the reader's position.
  static common::msgpack::Result<Node> from_msgpack(common::msgpack::Reader& reader);
  static common::msgpack::Result<Node> from_msgpack(common::msgpack::Reader& reader, const common::msgpack::Head& head);

  // Writes the member `key`: {node object} into an open JSON object.
  static void to_json(common::json::Writer& writer, std::string_view key, const Node& node);
  static common::json::Result<Node> from_json(common::json::Reader& reader);

  friend bool operator==(const Node&, const Node&) = default;
};

struct Edge {
  Uuid id;
  Uuid source;
  Uuid target;
  std::string edge_type;
  PropertyMap properties;

  void write_msgpack(common::msgpack::Writer& writer) const;
  DbResult<std::vector<uint8_t>> to_msgpack() const;
  static common::msgpack::Result<Edge> from_msgpack(common::msgpack::Reader& reader);
  static common::msgpack::Result<Edge> from_msgpack(common::msgpack::Reader& reader, const common::msgpack::Head& head);

  // Writes the member "edge": {edge object} into an open JSON object.
  static void to_json(common::json::Writer& writer, const Edge& edge);
  static common::json::Result<Edge> from_json(common::json::Reader& reader);

  friend bool operator==(const Edge&, const Edge&) = default;
};

void write_properties_msgpack(const PropertyMap& properties, common::msgpack::Writer& writer);
common::msgpack::Result<PropertyMap> read_properties_msgpack(common::msgpack::Reader& reader);
common::msgpack::Result<PropertyMap> read_properties_msgpack(common::msgpack::Reader& reader,
                                                             const common::msgpack::Head& head);
// Writes the member "properties": {name: value, ...}.
void write_properties_json(common::json::Writer& writer, const PropertyMap& properties);
common::json::Result<PropertyMap> read_properties_json(common::json::Reader& reader);

// Write-boundary checks over a whole map; the text names the property.
//   validate_properties_for_write: nesting within PropertyValue::kMaxWriteDepth
//   validate_properties_for_wal:   the same, and no NaN or infinite Float
std::expected<void, std::string> validate_properties_for_write(const PropertyMap& properties);
std::expected<void, std::string> validate_properties_for_wal(const PropertyMap& properties);

}  // namespace zudizid
