// Small builders for values, ids and in-memory graph fixtures.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "index/record_source.h"
#include "storage/node.h"

namespace zudizid::testing {

inline PropertyValue Null() { return PropertyValue::null(); }
inline PropertyValue Bool(bool b) { return PropertyValue::boolean(b); }
inline PropertyValue Int(std::int64_t i) { return PropertyValue::integer(i); }
inline PropertyValue Float(double d) { return PropertyValue::float64(d); }
inline PropertyValue Str(std::string s) { return PropertyValue::string(std::move(s)); }
inline PropertyValue Bin(std::vector<std::uint8_t> b) { return PropertyValue::bytes(std::move(b)); }
inline PropertyValue List(std::vector<PropertyValue> l) { return PropertyValue::list(std::move(l)); }
inline PropertyValue Obj(std::vector<std::pair<std::string, PropertyValue>> o) {
  return PropertyValue::object(std::move(o));
}

inline Uuid id(int n) {
  Uuid::Bytes b{};
  b[15] = static_cast<std::uint8_t>(n);
  b[14] = static_cast<std::uint8_t>(n >> 8);
  b[13] = static_cast<std::uint8_t>(n >> 16);
  return Uuid(b);
}
inline int id_number(const Uuid& u) { return u.bytes()[15] | u.bytes()[14] << 8 | u.bytes()[13] << 16; }

inline Node node(int n, std::string label, PropertyMap props = {},
                 NodeKind kind = NodeKind::Individual) {
  Node x;
  x.id = id(n);
  x.label = std::move(label);
  x.properties = std::move(props);
  x.kind = kind;
  return x;
}

inline Edge edge(int n, int source, int target, std::string type, PropertyMap props = {}) {
  Edge e;
  e.id = id(n);
  e.source = id(source);
  e.target = id(target);
  e.edge_type = std::move(type);
  e.properties = std::move(props);
  return e;
}

// An in-memory graph; a scan can be made to fail.
class FakeSource : public index::RecordSource {
 public:
  std::vector<Node> nodes;
  std::vector<Edge> edges;
  std::optional<DbError> fail_nodes, fail_edges;
  int node_scans = 0;

  std::expected<std::vector<Node>, DbError> scan_current_nodes() override {
    ++node_scans;
    if (fail_nodes) return std::unexpected(*fail_nodes);
    return nodes;
  }
  std::expected<std::vector<Edge>, DbError> scan_edges() override {
    if (fail_edges) return std::unexpected(*fail_edges);
    return edges;
  }
};

}  // namespace zudizid::testing
