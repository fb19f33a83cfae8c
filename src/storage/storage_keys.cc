#include "storage/storage_keys.h"

#include <fmt/format.h>

#include "common/float_text.h"

namespace zudizid::storage::keys {

namespace {
std::string with_id(std::string_view prefix, const common::Uuid& id, std::string_view suffix = {}) {
  std::string out;
  out.reserve(prefix.size() + 36 + suffix.size());
  out.append(prefix);
  id.append_to(out);
  out.append(suffix);
  return out;
}
}  // namespace

std::string node(const common::Uuid& id) { return with_id("node:", id); }
std::string node_version(const common::Uuid& id, uint64_t version) {
  return with_id("node:", id, fmt::format(":v{}", version));
}
std::string node_current(const common::Uuid& id) { return with_id("node:", id, ":current"); }
std::string node_versions(const common::Uuid& id) { return with_id("node:", id, ":versions"); }
std::string timestamp(uint64_t t) { return fmt::format("ts:{}", t); }
std::string in_adjacency(const common::Uuid& id) { return with_id("idx:in:", id); }
std::string out_adjacency(const common::Uuid& id) { return with_id("idx:out:", id); }

std::string edge(const common::Uuid& id) { return id.to_string(); }
std::string edge_version(const common::Uuid& id, uint64_t version) {
  return with_id("", id, fmt::format(":v{:020}", version));
}
std::string node_embedding(const common::Uuid& id, std::string_view model) {
  std::string out = with_id("", id, ":");
  out.append(model);
  return out;
}
std::string edge_embedding(const common::Uuid& id, std::string_view model) {
  std::string out = with_id("e:", id, ":");
  out.append(model);
  return out;
}

DbResult<std::string> path_reference(std::string_view name, std::string_view node_model,
                                     std::string_view edge_model) {
  for (std::string_view part : {name, node_model, edge_model}) {
    if (part.find('\0') != std::string_view::npos) {
      return std::unexpected(DbError::message(
          "Path reference names must not contain NUL bytes (name, node_model and edge_model are joined by NUL)"));
    }
  }
  std::string out;
  out.reserve(name.size() + node_model.size() + edge_model.size() + 2);
  out.append(name);
  out.push_back('\0');
  out.append(node_model);
  out.push_back('\0');
  out.append(edge_model);
  return out;
}

std::optional<std::string> value_text(const PropertyValue& value) {
  using K = PropertyValue::Kind;
  switch (value.kind()) {
    case K::Null:
      return "null";
    case K::Bool:
      return value.as_bool() ? "true" : "false";
    case K::Int:
      return fmt::format("{}", value.as_int());
    case K::Float:
      return common::float_display(value.as_float());
    case K::String:
      return value.as_string();
    case K::Bytes:
    case K::Object:
    case K::List:
      return std::nullopt;
  }
  return std::nullopt;
}

std::optional<std::string> property_index(std::string_view name, const PropertyValue& value) {
  auto text = value_text(value);
  if (!text) return std::nullopt;
  std::string out = "idx:prop:";
  out.append(name);
  out.push_back(':');
  out.append(*text);
  return out;
}

}  // namespace zudizid::storage::keys
