// The schema: the ordered, immutable list of an index's fields. A Field is
// the position of its entry in the list.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "fulltext/error/error.h"
#include "fulltext/schema/field_type.h"

namespace fendral::schema {

using Field = uint32_t;

struct FieldEntry {
  std::string name;
  FieldType field_type;

  bool is_indexed() const { return field_type.is_indexed(); }
  bool is_fast() const { return field_type.is_fast(); }
  bool has_fieldnorms() const { return field_type.has_fieldnorms(); }
  bool is_stored() const { return field_type.is_stored(); }
  bool operator==(const FieldEntry&) const = default;
};

class Schema;

class SchemaBuilder {
 public:
  // Adding a name already present is a contract violation
  // ("Field already exists in schema {}").
  Field add_field(FieldEntry entry);
  // As add_field, but reports a repeated name as SchemaError (stored input).
  Result<Field> try_add_field(FieldEntry entry);
  Schema build();

 private:
  std::vector<FieldEntry> fields_;
  std::unordered_map<std::string, Field> names_;
};

class Schema {
 public:
  Schema() : inner_(std::make_shared<Inner>()) {}

  std::optional<Field> get_field(std::string_view name) const;
  // Contract: field issued by this schema.
  const FieldEntry& get_field_entry(Field field) const;
  const std::vector<FieldEntry>& fields() const { return inner_->fields; }
  size_t num_fields() const { return inner_->fields.size(); }

  // Field and raw JSON path (escapes kept) of a dotted full path.
  std::optional<std::pair<Field, std::string_view>> find_field(std::string_view full_path) const;

  // Position by position: same names, types and options.
  bool operator==(const Schema& other) const { return inner_->fields == other.inner_->fields; }

 private:
  friend class SchemaBuilder;
  struct Inner {
    std::vector<FieldEntry> fields;
    std::unordered_map<std::string, Field> names;
  };
  std::shared_ptr<const Inner> inner_;
};

// Splits a path at unescaped dots; "\x" stands for x. Always at least one
// segment.
std::vector<std::string> split_json_path(std::string_view path);

// The fast-field column name of a path: nullopt when it names no field (or a
// non-JSON field with a trailing path), InvalidArgument when the field is not
// fast.
Result<std::optional<std::string>> resolve_column_name(const Schema& schema, std::string_view path);

}  // namespace fendral::schema
