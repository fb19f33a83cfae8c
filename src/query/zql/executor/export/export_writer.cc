#include "query/zql/executor/export/export_writer.h"

#include <cmath>
#include <optional>

#include <fmt/format.h>

#include "common/durable_file.h"
#include "common/float_text.h"

namespace zudizid::query::zql::executor {

namespace {

const std::string* string_option(const ast::ExportClause& clause, std::string_view name) {
  auto it = clause.options.find(std::string(name));
  if (it == clause.options.end() || it->second.kind() != PropertyValue::Kind::String) return nullptr;
  return &it->second.as_string();
}

bool flag_option(const ast::ExportClause& clause, std::string_view name, bool fallback) {
  auto it = clause.options.find(std::string(name));
  if (it == clause.options.end()) return fallback;
  if (it->second.kind() == PropertyValue::Kind::Bool) return it->second.as_bool();
  if (it->second.kind() == PropertyValue::Kind::String) return it->second.as_string() != "false";
  return fallback;
}

void append_json(std::string& out, const PropertyValue& v);

void append_json_string(std::string& out, std::string_view text) {
  out += '"';
  out += json_escape(text);
  out += '"';
}

void append_json(std::string& out, const PropertyValue& v) {
  switch (v.kind()) {
    case PropertyValue::Kind::Null:
      out += "null";
      return;
    case PropertyValue::Kind::Bool:
      out += v.as_bool() ? "true" : "false";
      return;
    case PropertyValue::Kind::Int:
      out += std::to_string(v.as_int());
      return;
    case PropertyValue::Kind::Float:
      if (std::isfinite(v.as_float())) {
        common::append_float_display(out, v.as_float());
      } else {
        out += "null";
      }
      return;
    case PropertyValue::Kind::String:
      append_json_string(out, v.as_string());
      return;
    case PropertyValue::Kind::Bytes:
      append_json_string(out, fmt::format("<{} bytes>", v.as_bytes().size()));
      return;
    case PropertyValue::Kind::Object: {
      out += '{';
      bool first = true;
      for (const auto& [name, value] : v.as_object()) {
        if (!first) out += ',';
        first = false;
        append_json_string(out, name);
        out += ':';
        append_json(out, value);
      }
      out += '}';
      return;
    }
    case PropertyValue::Kind::List: {
      out += '[';
      bool first = true;
      for (const auto& value : v.as_list()) {
        if (!first) out += ',';
        first = false;
        append_json(out, value);
      }
      out += ']';
      return;
    }
  }
}

std::string csv_cell(const PropertyValue* v) {
  if (!v) return {};
  switch (v->kind()) {
    case PropertyValue::Kind::Null: return {};
    case PropertyValue::Kind::Bool: return v->as_bool() ? "true" : "false";
    case PropertyValue::Kind::Int: return std::to_string(v->as_int());
    case PropertyValue::Kind::Float: return common::float_display(v->as_float());
    case PropertyValue::Kind::String: return v->as_string();
    case PropertyValue::Kind::Bytes: return fmt::format("<{} bytes>", v->as_bytes().size());
    case PropertyValue::Kind::Object:
    case PropertyValue::Kind::List: return value_to_json(*v);
  }
  return {};
}

void append_csv_field(std::string& out, std::string_view text, std::string_view separator) {
  const bool quote = separator.empty() || text.find(separator) != std::string_view::npos ||
                     text.find_first_of("\"\n\r") != std::string_view::npos;
  if (!quote) {
    out += text;
    return;
  }
  out += '"';
  for (char c : text) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

const PropertyValue* cell(const Row& row, const std::string& column) {
  auto it = row.find(column);
  return it == row.end() ? nullptr : &it->second;
}

std::string render_csv(const QueryResult& result, const ast::ExportClause& clause) {
  const std::string* sep_option = string_option(clause, "separator");
  const std::string separator = sep_option ? *sep_option : ",";
  std::string out;
  auto line = [&](auto&& field_of) {
    for (size_t i = 0; i < result.columns.size(); ++i) {
      if (i) out += separator;
      append_csv_field(out, field_of(i), separator);
    }
    out += '\n';
  };
  if (flag_option(clause, "header", true)) line([&](size_t i) { return std::string_view(result.columns[i]); });
  for (const Row& row : result.rows) line([&](size_t i) { return csv_cell(cell(row, result.columns[i])); });
  return out;
}

std::string render_json(const QueryResult& result, const ast::ExportClause& clause) {
  std::vector<std::string> objects;
  objects.reserve(result.rows.size());
  for (const Row& row : result.rows) {
    std::string o = "{";
    for (size_t i = 0; i < result.columns.size(); ++i) {
      if (i) o += ',';
      append_json_string(o, result.columns[i]);
      o += ':';
      const PropertyValue* v = cell(row, result.columns[i]);
      if (v) {
        append_json(o, *v);
      } else {
        o += "null";
      }
    }
    o += '}';
    objects.push_back(std::move(o));
  }
  std::string out;
  if (flag_option(clause, "jsonl", false)) {
    for (size_t i = 0; i < objects.size(); ++i) {
      if (i) out += '\n';
      out += objects[i];
    }
  } else if (flag_option(clause, "pretty", false)) {
    out = "[\n";
    for (size_t i = 0; i < objects.size(); ++i) {
      out += "  ";
      out += objects[i];
      if (i + 1 < objects.size()) out += ',';
      out += '\n';
    }
    out += ']';
  } else {
    out = "[";
    for (size_t i = 0; i < objects.size(); ++i) {
      if (i) out += ',';
      out += objects[i];
    }
    out += ']';
  }
  return out;
}

}  // namespace

std::string json_escape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '"': out += "\\\""; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20) {
          out += fmt::format("\\u{:04x}", c);
        } else {
          out += ch;
        }
    }
  }
  return out;
}

std::string value_to_json(const PropertyValue& value) {
  std::string out;
  append_json(out, value);
  return out;
}

DbResult<ExportResult> render_export(const QueryResult& result, const ast::ExportClause& clause) {
  using Kind = ast::ExportFormat::Kind;
  ExportResult out;
  out.rows = result.rows.size();
  switch (clause.format.kind) {
    case Kind::Csv:
      out.format = "CSV";
      out.content = render_csv(result, clause);
      break;
    case Kind::Json:
      out.format = "JSON";
      out.content = render_json(result, clause);
      break;
    case Kind::Arrow:
      return std::unexpected(DbError::query_execution(
          "EXPORT ARROW is not supported: use Graph.to_arrow, edges_to_arrow or to_arrow_complete for Arrow IPC "
          "bytes"));
    case Kind::Parquet:
      return std::unexpected(DbError::query_execution("EXPORT PARQUET is not supported: export as CSV or JSON"));
  }
  if (const std::string* path = string_option(clause, "path")) {
    common::DurableWriteOptions options;
    options.temp_name = common::DurableWriteOptions::TempName::Unique;
    std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(out.content.data()), out.content.size());
    auto written = common::write_file_durably(*path, bytes, options);
    if (!written)
      return std::unexpected(DbError::query_execution(
          fmt::format("Failed to write {} export to '{}': {}", out.format, *path, written.error().error.display())));
  }
  return out;
}

}  // namespace zudizid::query::zql::executor
