#include "fulltext/schema/schema.h"

#include <fmt/format.h>

#include "fulltext/common/json_path_writer.h"

namespace fendral::schema {

Field SchemaBuilder::add_field(FieldEntry entry) {
  if (names_.contains(entry.name)) contract_violation(fmt::format("Field already exists in schema {}", entry.name));
  Field f = static_cast<Field>(fields_.size());
  names_.emplace(entry.name, f);
  fields_.push_back(std::move(entry));
  return f;
}

Result<Field> SchemaBuilder::try_add_field(FieldEntry entry) {
  if (names_.contains(entry.name)) {
    return fail(FendralError::schema_error(fmt::format("Field already exists in schema {}", entry.name)));
  }
  return add_field(std::move(entry));
}

Schema SchemaBuilder::build() {
  Schema s;
  auto inner = std::make_shared<Schema::Inner>();
  inner->fields = std::move(fields_);
  inner->names = std::move(names_);
  s.inner_ = std::move(inner);
  return s;
}

std::optional<Field> Schema::get_field(std::string_view name) const {
  auto it = inner_->names.find(std::string(name));
  if (it == inner_->names.end()) return std::nullopt;
  return it->second;
}

const FieldEntry& Schema::get_field_entry(Field field) const {
  if (field >= inner_->fields.size()) {
    contract_violation(fmt::format("index out of bounds: the len is {} but the index is {}", inner_->fields.size(), field));
  }
  return inner_->fields[field];
}

std::vector<std::string> split_json_path(std::string_view path) {
  std::vector<std::string> out;
  std::string current;
  bool escaped = false;
  for (char c : path) {
    if (escaped) {
      current.push_back(c);
      escaped = false;
    } else if (c == '.') {
      out.push_back(std::move(current));
      current.clear();
    } else if (c == '\\') {
      escaped = true;
    } else {
      current.push_back(c);
    }
  }
  out.push_back(std::move(current));
  return out;
}

std::optional<std::pair<Field, std::string_view>> Schema::find_field(std::string_view full_path) const {
  if (auto f = get_field(full_path)) return std::pair<Field, std::string_view>(*f, std::string_view());
  if (full_path.empty()) return std::nullopt;
  std::vector<size_t> dots;
  bool escaped = false;
  for (size_t i = 0; i < full_path.size(); ++i) {
    char c = full_path[i];
    if (escaped) {
      escaped = false;
    } else if (c == '\\') {
      escaped = true;
    } else if (c == '.') {
      dots.push_back(i);
    }
  }
  for (auto it = dots.rbegin(); it != dots.rend(); ++it) {
    std::string_view prefix = full_path.substr(0, *it);
    std::string_view rest = full_path.substr(*it + 1);
    if (auto f = get_field(prefix)) return std::pair<Field, std::string_view>(*f, rest);
    std::string unescaped;
    auto segments = split_json_path(prefix);
    for (size_t i = 0; i < segments.size(); ++i) {
      if (i) unescaped.push_back('.');
      unescaped += segments[i];
    }
    if (auto f = get_field(unescaped)) return std::pair<Field, std::string_view>(*f, rest);
  }
  return std::nullopt;
}

Result<std::optional<std::string>> resolve_column_name(const Schema& schema, std::string_view path) {
  auto found = schema.find_field(path);
  if (!found) return std::optional<std::string>();
  const FieldEntry& entry = schema.get_field_entry(found->first);
  bool is_json = entry.field_type.tag() == FieldTypeTag::JsonObject;
  if (!is_json && !found->second.empty()) return std::optional<std::string>();
  if (!entry.is_fast()) {
    return fail(FendralError::invalid_argument(
        fmt::format("Field {} is not configured as fast field", debug_quote(path))));
  }
  if (is_json && !found->second.empty()) {
    JsonPathWriter writer(false);
    writer.push(entry.name);
    writer.set_expand_dots(std::get<JsonObjectOptions>(entry.field_type.options()).expand_dots_enabled);
    for (const auto& seg : split_json_path(found->second)) writer.push(seg);
    return std::optional<std::string>(writer.as_str());
  }
  return std::optional<std::string>(entry.name);
}

}  // namespace fendral::schema
