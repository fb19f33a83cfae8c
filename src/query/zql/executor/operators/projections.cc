#include "query/zql/executor/operators/projections.h"

#include <fmt/format.h>

#include "query/zql/executor/where/scopes.h"

namespace zudizid::query::zql::executor::operators {

namespace {

// A column "v" or "v.rest": the variable and what follows the first '.'
// (none for a bare name). Texts with a second '.' name nothing.
struct ColumnRef {
  std::string_view variable;
  std::optional<std::string_view> field;
};

std::optional<ColumnRef> parse_column(std::string_view column) {
  const size_t dot = column.find('.');
  if (dot == std::string_view::npos) return ColumnRef{column, std::nullopt};
  std::string_view field = column.substr(dot + 1);
  if (field.find('.') != std::string_view::npos) return std::nullopt;
  return ColumnRef{column.substr(0, dot), field};
}

void put(Row& row, std::string key, MaybeValue value) {
  if (value) row.insert_or_assign(std::move(key), std::move(*value));
}

}  // namespace

void expand_node(Row& row, std::string_view variable, const Node& node) {
  for (const auto& [name, value] : node.properties) row.insert_or_assign(fmt::format("{}.{}", variable, name), value);
  row.insert_or_assign(fmt::format("{}.label", variable), PropertyValue::string(node.label));
  row.insert_or_assign(fmt::format("{}.id", variable), PropertyValue::string(node.id.to_string()));
}

void expand_edge(Row& row, std::string_view variable, const Edge& edge) {
  for (const auto& [name, value] : edge.properties) row.insert_or_assign(fmt::format("{}.{}", variable, name), value);
  row.insert_or_assign(fmt::format("{}.type", variable), PropertyValue::string(edge.edge_type));
  row.insert_or_assign(fmt::format("{}.id", variable), PropertyValue::string(edge.id.to_string()));
}

Row node_row(const Node& node, std::string_view variable, const std::vector<std::string>& columns) {
  Row row;
  for (const std::string& column : columns) {
    auto ref = parse_column(column);
    if (!ref || ref->variable != variable) continue;
    if (ref->field == "*") {
      expand_node(row, variable, node);
    } else {
      put(row, column, node_field(node, ref->field.value_or("")));
    }
  }
  return row;
}

Row binding_row(const Binding& b, std::string_view source_var, std::string_view target_var,
                const std::optional<std::string>& edge_var, const std::vector<std::string>& columns) {
  const Edge* edge = edge_var && b.edge ? &*b.edge : nullptr;
  Row row;
  for (const std::string& column : columns) {
    if (column == "*") {
      expand_node(row, source_var, b.source);
      expand_node(row, target_var, b.target);
      if (edge) expand_edge(row, *edge_var, *edge);
      continue;
    }
    auto ref = parse_column(column);
    if (!ref) continue;
    const std::string_view field = ref->field.value_or("");
    const bool all = ref->field == "*";
    if (ref->variable == source_var || ref->variable == target_var) {
      const Node& node = ref->variable == source_var ? b.source : b.target;
      if (all) {
        expand_node(row, ref->variable, node);
      } else {
        put(row, column, node_field(node, field));
      }
    } else if (edge && ref->variable == *edge_var) {
      if (all) {
        expand_edge(row, ref->variable, *edge);
      } else {
        put(row, column, edge_field(*edge, field));
      }
    }
  }
  return row;
}

std::optional<DbResult<Row>> NodeColumnProjection::next() {
  auto node = input_->next();
  if (!node) return std::nullopt;
  if (!*node) return DbResult<Row>(std::unexpected(std::move(node->error())));
  return DbResult<Row>(node_row(**node, variable_, columns_));
}

std::optional<DbResult<Row>> NodeExpandProjection::next() {
  auto node = input_->next();
  if (!node) return std::nullopt;
  if (!*node) return DbResult<Row>(std::unexpected(std::move(node->error())));
  Row row;
  expand_node(row, variable_, **node);
  return DbResult<Row>(std::move(row));
}

std::optional<DbResult<Row>> BindingProjection::next() {
  auto b = input_->next();
  if (!b) return std::nullopt;
  if (!*b) return DbResult<Row>(std::unexpected(std::move(b->error())));
  return DbResult<Row>(binding_row(**b, source_var_, target_var_, edge_var_, columns_));
}

}  // namespace zudizid::query::zql::executor::operators
