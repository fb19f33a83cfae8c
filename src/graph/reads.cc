#include "graph/reads.h"

#include <fmt/format.h>

namespace zudizid::graph {

DbResult<Node> find_node_by_property(Graph& graph, std::string_view property, std::string_view value) {
  auto ids = graph.storage()->lookup_property_index(property, PropertyValue::string(std::string(value)));
  if (!ids) return std::unexpected(std::move(ids.error()));
  if (ids->empty()) {
    return std::unexpected(DbError(DbError::Kind::NodeNotFound, fmt::format("with property {}={}", property, value)));
  }
  return graph.get_node(ids->front());
}

}  // namespace zudizid::graph
