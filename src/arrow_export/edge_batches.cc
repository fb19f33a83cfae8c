#include "arrow_export/edge_batches.h"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "arrow_export/node_batches.h"
#include "arrow_export/property_text.h"
#include "common/log.h"

namespace zudizid::arrow_export {

namespace {

std::vector<Field> fixed_edge_fields() {
  return {{"id", ArrowType::Utf8, false},
          {"source", ArrowType::Utf8, false},
          {"target", ArrowType::Utf8, false},
          {"edge_type", ArrowType::Utf8, false}};
}

}  // namespace

RecordBatch empty_edge_batch() {
  RecordBatch batch;
  batch.fields = fixed_edge_fields();
  for (size_t i = 0; i < batch.fields.size(); ++i) batch.columns.push_back(ColumnBuilder(ArrowType::Utf8).finish());
  return batch;
}

DbResult<RecordBatch> edges_to_arrow(std::span<const Edge> edges, int64_t max_text_bytes) {
  std::unordered_set<std::string_view> seen;
  for (const Edge& edge : edges) {
    for (const auto& entry : edge.properties) seen.insert(entry.first);
  }
  std::vector<std::string_view> names(seen.begin(), seen.end());
  std::sort(names.begin(), names.end());
  std::unordered_map<std::string_view, size_t> column_of;
  for (size_t i = 0; i < names.size(); ++i) column_of.emplace(names[i], i);

  RecordBatch batch;
  batch.fields = fixed_edge_fields();
  std::vector<ColumnBuilder> builders;
  builders.reserve(batch.fields.size() + names.size());
  for (size_t i = 0; i < batch.fields.size(); ++i) builders.emplace_back(ArrowType::Utf8, edges.size(), max_text_bytes);
  for (size_t i = 0; i < 3; ++i) builders[i].reserve_text(kIdTextBytes * edges.size());  // id, source, target
  for (std::string_view name : names) {
    batch.fields.push_back({std::string(name), ArrowType::Utf8, true});
    builders.emplace_back(ArrowType::Utf8, edges.size(), max_text_bytes);
  }

  auto fail = [](std::string text) { return std::unexpected(DbError::message("Arrow conversion error: " + text)); };
  std::vector<const PropertyValue*> cells(names.size());
  std::string text;
  for (const Edge& edge : edges) {
    for (auto [column, id] : {std::pair{0, &edge.id}, {1, &edge.source}, {2, &edge.target}}) {
      text.clear();
      id->append_to(text);
      if (auto ok = builders[column].append_text(text); !ok) return fail(ok.error());
    }
    if (auto ok = builders[3].append_text(edge.edge_type); !ok) return fail(ok.error());
    std::fill(cells.begin(), cells.end(), nullptr);
    for (const auto& [name, value] : edge.properties) cells[column_of.find(name)->second] = &value;
    for (size_t i = 0; i < names.size(); ++i) {
      ColumnBuilder& column = builders[4 + i];
      if (cells[i] == nullptr) {
        column.append_null();
        continue;
      }
      text.clear();
      append_property_text(text, *cells[i]);
      if (auto ok = column.append_text(text); !ok) return fail(ok.error());
    }
  }

  for (ColumnBuilder& builder : builders) batch.columns.push_back(std::move(builder).finish());
  batch.num_rows = static_cast<int64_t>(edges.size());
  ZLOG(Info, "zudizid::arrow_export", "Converted {} edges to Arrow RecordBatch with {} property columns", edges.size(),
       names.size());
  return batch;
}

DbResult<std::pair<RecordBatch, RecordBatch>> graph_to_arrow(std::span<const Node> nodes, std::span<const Edge> edges,
                                                             std::optional<std::string_view> label) {
  ZLOG(Info, "zudizid::arrow_export", "Exporting graph: {} nodes, {} edges", nodes.size(), edges.size());
  auto node_batch = nodes_to_arrow_with_properties(nodes, label);
  if (!node_batch) return std::unexpected(std::move(node_batch.error()));
  if (edges.empty()) return std::pair{std::move(*node_batch), empty_edge_batch()};
  auto edge_batch = edges_to_arrow(edges);
  if (!edge_batch) return std::unexpected(std::move(edge_batch.error()));
  return std::pair{std::move(*node_batch), std::move(*edge_batch)};
}

}  // namespace zudizid::arrow_export
