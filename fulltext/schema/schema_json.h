// The JSON form of a schema (the "schema" value of meta.json): an array of
// {"name", "type", "options"} objects in field-id order.
#pragma once

#include "common/json.h"
#include "fulltext/common/json_de.h"
#include "fulltext/schema/schema.h"

namespace fendral::schema {

void write_schema(zudizid::common::json::Writer& w, const Schema& schema);
void write_field_entry(zudizid::common::json::Writer& w, const FieldEntry& entry);

// Reads the array at the reader's position. A repeated field name is a
// reading error like any other.
json_de::Result<Schema> read_schema(json_de::De& de);
json_de::Result<FieldEntry> read_field_entry(json_de::De& de);

}  // namespace fendral::schema
