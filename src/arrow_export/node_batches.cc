#include "arrow_export/node_batches.h"

#include <fmt/format.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "arrow_export/property_text.h"
#include "common/log.h"

namespace zudizid::arrow_export {

namespace {

using Kind = PropertyValue::Kind;

bool is_scalar(Kind kind) {
  return kind == Kind::Bool || kind == Kind::Int || kind == Kind::Float || kind == Kind::String;
}

ArrowType column_type(Kind kind, bool mixed) {
  if (mixed) return ArrowType::Utf8;
  switch (kind) {
    case Kind::Bool: return ArrowType::Bool;
    case Kind::Int: return ArrowType::Int64;
    case Kind::Float: return ArrowType::Float64;
    default: return ArrowType::Utf8;
  }
}

struct PropertyColumn {
  std::string_view name;
  Kind kind;
  bool mixed = false;
};

// Appends the cell of `value` (nullptr: name absent) to a property column.
std::expected<void, std::string> append_cell(ColumnBuilder& column, const PropertyValue* value, std::string& text) {
  if (value == nullptr) {
    column.append_null();
    return {};
  }
  switch (column.type()) {
    case ArrowType::Utf8:
      if (value->kind() == Kind::String) return column.append_text(value->as_string());
      text.clear();
      append_property_text(text, *value);
      return column.append_text(text);
    case ArrowType::Int64:
      if (value->kind() == Kind::Int) column.append_int(value->as_int()); else column.append_null();
      return {};
    case ArrowType::Float64:
      if (value->kind() == Kind::Float) column.append_float(value->as_float()); else column.append_null();
      return {};
    case ArrowType::Bool:
      if (value->kind() == Kind::Bool) column.append_bool(value->as_bool()); else column.append_null();
      return {};
  }
  return {};
}

// The summary batch of the rows `rows` yields (each pointer valid until the
// next step); `expected_rows` sizes the buffers.
DbResult<RecordBatch> summary_batch(storage::Cursor<const NodeSummary*>& rows, size_t expected_rows,
                                    int64_t max_text_bytes) {
  auto fail = [](std::string text) { return std::unexpected(DbError::message("Arrow conversion error: " + text)); };
  ColumnBuilder ids(ArrowType::Utf8, expected_rows, max_text_bytes);
  ids.reserve_text(kIdTextBytes * expected_rows);
  ColumnBuilder labels(ArrowType::Utf8, expected_rows, max_text_bytes);
  ColumnBuilder counts(ArrowType::Int64, expected_rows, max_text_bytes);
  std::string id_text;
  int64_t count = 0;
  while (auto next = rows.next()) {
    if (!*next) return std::unexpected(std::move(next->error()));
    const NodeSummary& row = ***next;
    id_text.clear();
    row.id.append_to(id_text);
    if (auto ok = ids.append_text(id_text); !ok) return fail(ok.error());
    if (auto ok = labels.append_text(row.label); !ok) return fail(ok.error());
    counts.append_int(row.property_count);
    ++count;
  }
  if (count == 0) return std::unexpected(DbError::message("Cannot convert empty node list to Arrow"));

  RecordBatch batch;
  batch.fields = {{"id", ArrowType::Utf8, false}, {"label", ArrowType::Utf8, false},
                  {"property_count", ArrowType::Int64, false}};
  batch.columns.push_back(std::move(ids).finish());
  batch.columns.push_back(std::move(labels).finish());
  batch.columns.push_back(std::move(counts).finish());
  batch.num_rows = count;
  ZLOG(Info, "zudizid::arrow_export", "Converted {} nodes to Arrow RecordBatch", count);
  return batch;
}

NodeSummary summary_of(const Node& node) {
  return {node.id, node.label, static_cast<int64_t>(node.properties.size())};
}

}  // namespace

DbResult<RecordBatch> nodes_to_arrow(std::span<const Node> nodes, int64_t max_text_bytes) {
  NodeSummary held;
  auto cursor = storage::Cursor<const NodeSummary*>([&, it = nodes.begin(), end = nodes.end()]() mutable
                                                     -> std::optional<DbResult<const NodeSummary*>> {
    if (it == end) return std::nullopt;
    held = summary_of(*it++);
    return &held;
  });
  return summary_batch(cursor, nodes.size(), max_text_bytes);
}

DbResult<RecordBatch> nodes_to_arrow(std::span<const NodeSummary> nodes, int64_t max_text_bytes) {
  auto cursor = storage::Cursor<const NodeSummary*>([it = nodes.begin(), end = nodes.end()]() mutable
                                                     -> std::optional<DbResult<const NodeSummary*>> {
    if (it == end) return std::nullopt;
    return &*it++;
  });
  return summary_batch(cursor, nodes.size(), max_text_bytes);
}

DbResult<RecordBatch> nodes_to_arrow(storage::Cursor<Node>& nodes, int64_t max_text_bytes) {
  NodeSummary held;
  auto cursor = storage::Cursor<const NodeSummary*>([&]() -> std::optional<DbResult<const NodeSummary*>> {
    auto next = nodes.next();
    if (!next) return std::nullopt;
    if (!*next) return std::unexpected(std::move(next->error()));
    held = summary_of(**next);
    return &held;
  });
  return summary_batch(cursor, 0, max_text_bytes);
}

DbResult<RecordBatch> nodes_to_arrow_with_properties(std::span<const Node> nodes,
                                                     std::optional<std::string_view> label,
                                                     int64_t max_text_bytes) {
  if (nodes.empty()) return std::unexpected(DbError::message("No nodes to export"));

  std::vector<const Node*> selected;
  selected.reserve(nodes.size());
  for (const Node& node : nodes) {
    if (!label || node.label == *label) selected.push_back(&node);
  }
  if (selected.empty()) {
    return std::unexpected(DbError::message(fmt::format("No nodes found with label '{}'", *label)));
  }

  // Column kinds, in the order names are first met.
  std::vector<PropertyColumn> columns;
  std::unordered_map<std::string_view, size_t> column_of;
  for (const Node* node : selected) {
    for (const auto& [name, value] : node->properties) {
      if (!is_scalar(value.kind())) continue;
      auto [it, inserted] = column_of.try_emplace(name, columns.size());
      if (inserted) {
        columns.push_back({name, value.kind()});
      } else if (PropertyColumn& column = columns[it->second]; column.kind != value.kind()) {
        column.mixed = true;
      }
    }
  }

  RecordBatch batch;
  batch.fields = {{"id", ArrowType::Utf8, false}, {"label", ArrowType::Utf8, false}};
  ColumnBuilder ids(ArrowType::Utf8, selected.size(), max_text_bytes);
  ids.reserve_text(kIdTextBytes * selected.size());
  ColumnBuilder labels(ArrowType::Utf8, selected.size(), max_text_bytes);
  std::vector<ColumnBuilder> builders;
  builders.reserve(columns.size());
  for (const PropertyColumn& column : columns) {
    const ArrowType type = column_type(column.kind, column.mixed);
    batch.fields.push_back({std::string(column.name), type, true});
    builders.emplace_back(type, selected.size(), max_text_bytes);
  }

  auto fail = [](std::string text) {
    return std::unexpected(DbError::message("Failed to create RecordBatch: " + text));
  };
  std::vector<const PropertyValue*> cells(columns.size());
  std::string text;
  for (const Node* node : selected) {
    text.clear();
    node->id.append_to(text);
    if (auto ok = ids.append_text(text); !ok) return fail(ok.error());
    if (auto ok = labels.append_text(node->label); !ok) return fail(ok.error());
    std::fill(cells.begin(), cells.end(), nullptr);
    for (const auto& [name, value] : node->properties) {
      if (auto it = column_of.find(name); it != column_of.end()) cells[it->second] = &value;
    }
    for (size_t c = 0; c < builders.size(); ++c) {
      if (auto ok = append_cell(builders[c], cells[c], text); !ok) return fail(ok.error());
    }
  }

  batch.columns.push_back(std::move(ids).finish());
  batch.columns.push_back(std::move(labels).finish());
  for (ColumnBuilder& builder : builders) batch.columns.push_back(std::move(builder).finish());
  batch.num_rows = static_cast<int64_t>(selected.size());
  return batch;
}

}  // namespace zudizid::arrow_export
