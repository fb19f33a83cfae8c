#include "fulltext/schema/field_type.h"

namespace fendral::schema {

std::string_view field_type_json_name(FieldTypeTag tag) {
  static constexpr std::string_view names[] = {"text", "u64",   "i64",   "f64",         "bool",
                                               "date", "facet", "bytes", "json_object", "ip_addr"};
  return names[static_cast<int>(tag)];
}

std::string_view FieldType::json_name() const { return field_type_json_name(tag()); }

const TextFieldIndexing* FieldType::text_indexing() const {
  if (auto* t = std::get_if<0>(&options_)) return t->indexing ? &*t->indexing : nullptr;
  if (auto* j = std::get_if<8>(&options_)) return j->indexing ? &*j->indexing : nullptr;
  return nullptr;
}

const NumericOptions* FieldType::numeric_options() const {
  switch (options_.index()) {
    case 1: return &std::get<1>(options_);
    case 2: return &std::get<2>(options_);
    case 3: return &std::get<3>(options_);
    case 4: return &std::get<4>(options_);
    default: return nullptr;
  }
}

bool FieldType::is_indexed() const {
  switch (tag()) {
    case FieldTypeTag::Str:
    case FieldTypeTag::JsonObject: return text_indexing() != nullptr;
    case FieldTypeTag::Facet: return true;
    case FieldTypeTag::Date: return std::get<5>(options_).indexed;
    case FieldTypeTag::Bytes: return std::get<7>(options_).indexed;
    case FieldTypeTag::IpAddr: return std::get<9>(options_).indexed;
    default: return numeric_options()->indexed;
  }
}

bool FieldType::is_fast() const {
  switch (tag()) {
    case FieldTypeTag::Str: return std::get<0>(options_).fast.is_enabled();
    case FieldTypeTag::JsonObject: return std::get<8>(options_).fast.is_enabled();
    case FieldTypeTag::Facet: return true;
    case FieldTypeTag::Date: return std::get<5>(options_).fast;
    case FieldTypeTag::Bytes: return std::get<7>(options_).fast;
    case FieldTypeTag::IpAddr: return std::get<9>(options_).fast;
    default: return numeric_options()->fast;
  }
}

bool FieldType::has_fieldnorms() const {
  switch (tag()) {
    case FieldTypeTag::Str: return text_indexing() != nullptr && text_indexing()->fieldnorms;
    case FieldTypeTag::Facet:
    case FieldTypeTag::JsonObject: return false;
    case FieldTypeTag::Date: return std::get<5>(options_).fieldnorms && std::get<5>(options_).indexed;
    case FieldTypeTag::Bytes: return std::get<7>(options_).fieldnorms;
    case FieldTypeTag::IpAddr: return std::get<9>(options_).fieldnorms;
    default: return numeric_options()->fieldnorms && numeric_options()->indexed;
  }
}

bool FieldType::is_stored() const {
  switch (tag()) {
    case FieldTypeTag::Str: return std::get<0>(options_).stored;
    case FieldTypeTag::JsonObject: return std::get<8>(options_).stored;
    case FieldTypeTag::Facet: return std::get<6>(options_).stored;
    case FieldTypeTag::Date: return std::get<5>(options_).stored;
    case FieldTypeTag::Bytes: return std::get<7>(options_).stored;
    case FieldTypeTag::IpAddr: return std::get<9>(options_).stored;
    default: return numeric_options()->stored;
  }
}

}  // namespace fendral::schema
