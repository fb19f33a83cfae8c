// CompactDoc: the document built for indexing. Every value is encoded into
// one growing node buffer (post-order: elements before their container);
// the document keeps 7-byte entries (u16 field, u8 node kind, u32 offset).
#pragma once

#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "fulltext/error/error.h"
#include "fulltext/schema/document/owned_value.h"
#include "fulltext/schema/schema.h"

namespace fendral::schema {

// Node kinds: leaf kinds 0..10, then object 11 and array 12.
enum class NodeKind : uint8_t {
  Null = 0, Str = 1, U64 = 2, I64 = 3, F64 = 4, Date = 5, Facet = 6, Bytes = 7, IpAddr = 8, Bool = 9, PreTokStr = 10,
  Object = 11, Array = 12,
};

struct NodeAddr {
  NodeKind kind;
  uint32_t offset;
};

class CompactDoc {
 public:
  CompactDoc() {
    nodes_.reserve(1024);
    entries_.reserve(4);
  }

  // Appends the value's nodes, then one entry. A field id above 65535 is
  // refused (InvalidArgument "support only up to u16::MAX field ids").
  Result<void> add_field_value(Field field, const OwnedValue& value);
  NodeAddr add_value(const OwnedValue& value);

  size_t num_entries() const { return entries_.size(); }
  Field entry_field(size_t i) const { return entries_[i].field; }
  // The kind of entry i's top node, known without decoding the value.
  NodeKind entry_kind(size_t i) const { return entries_[i].kind; }
  // Decodes the value of entry i; an inconsistent node buffer (which the
  // engine never builds) is InternalError.
  Result<OwnedValue> entry_value(size_t i) const;
  Result<std::vector<std::pair<Field, OwnedValue>>> field_values() const;
  const std::vector<uint8_t>& nodes() const { return nodes_; }

 private:
  struct Entry {
    uint16_t field;
    NodeKind kind;
    uint32_t offset;
  };
  Result<OwnedValue> decode(NodeAddr addr, int depth) const;
  std::vector<uint8_t> nodes_;
  std::vector<Entry> entries_;
};

// The stored form: VInt count, then per stored value its u32 field id and
// the value (a type code and its payload).
IoResult<void> serialize_doc(const CompactDoc& doc, const Schema& schema, std::vector<uint8_t>& out);
// The same bytes from the document's values already decoded (field_values()).
IoResult<void> serialize_doc(const std::vector<std::pair<Field, OwnedValue>>& values, const Schema& schema,
                             std::vector<uint8_t>& out);
IoResult<void> serialize_value(const OwnedValue& value, std::vector<uint8_t>& out);
std::expected<CompactDoc, DeserializeError> deserialize_doc(std::span<const uint8_t> bytes, uint32_t store_version);
std::expected<OwnedValue, DeserializeError> deserialize_value(std::span<const uint8_t>& in, StoredValueType type,
                                                              uint32_t store_version);
std::expected<StoredValueType, DeserializeError> read_value_type(std::span<const uint8_t>& in);

}  // namespace fendral::schema
