#include "graph/indexes.h"

namespace zudizid::graph {

namespace {

DbError no_registry() { return DbError::index("This database has no index registry"); }

}  // namespace

DbResult<std::string> create_index(Graph& graph, std::string_view label, std::string_view property,
                                   index::IndexType type) {
  index::IndexManager* registry = graph.index_manager();
  if (!registry) return std::unexpected(no_registry());
  return registry->create_index(graph, label, property, type);
}

DbResult<void> drop_index(Graph& graph, std::string_view name) {
  index::IndexManager* registry = graph.index_manager();
  if (!registry) return std::unexpected(no_registry());
  return registry->drop_index(name);
}

std::vector<index::IndexMetadata> list_indexes(const Graph& graph) {
  index::IndexManager* registry = graph.index_manager();
  if (!registry) return {};
  return registry->list();
}

}  // namespace zudizid::graph
