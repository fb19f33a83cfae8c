#include "graph/embeddings.h"

#include <fmt/format.h>

#include "graph/vector/index_cache.h"
#include "storage/storage_keys.h"

namespace zudizid::graph {

namespace {

DbResult<std::optional<kelm::IVec>> read_key(const storage::Storage& storage, const std::string& key) {
  auto tree = storage.db().open_tree(storage::keys::kEmbeddingsTree);
  if (!tree) return std::unexpected(DbError(tree.error()));
  auto v = tree->get(std::string_view(key));
  if (!v) return std::unexpected(DbError(v.error()));
  return std::move(*v);
}

}  // namespace

DbResult<void> add_node_embedding(const Graph& graph, const Uuid& node, std::vector<float> vector,
                                  std::string_view model) {
  const storage::Storage& st = *graph.storage();
  auto exists = st.node_exists(node);
  if (!exists) return std::unexpected(std::move(exists.error()));
  if (!*exists) return std::unexpected(DbError(DbError::Kind::NodeNotFound, node.to_string()));
  Embedding e{node, std::move(vector), std::string(model), 1};
  if (auto stored = st.put_node_embedding(e); !stored) return stored;
  // The model's cached index no longer holds every vector of the model.
  graph.embedding_indexes().invalidate(model);
  return {};
}

DbResult<Embedding> read_node_embedding(const storage::Storage& storage, const Uuid& node, std::string_view model) {
  auto v = read_key(storage, storage::keys::node_embedding(node, model));
  if (!v) return std::unexpected(std::move(v.error()));
  if (!*v) {
    return std::unexpected(
        DbError(DbError::Kind::Message, fmt::format("Embedding not found for node {} model {}", node.to_string(), model)));
  }
  return Embedding::from_msgpack((*v)->bytes());
}

DbResult<EdgeEmbedding> get_edge_embedding(const storage::Storage& storage, const Uuid& edge, std::string_view model) {
  auto v = read_key(storage, storage::keys::edge_embedding(edge, model));
  if (!v) return std::unexpected(std::move(v.error()));
  if (!*v) {
    return std::unexpected(
        DbError(DbError::Kind::Message, fmt::format("Embedding not found for edge {} model {}", edge.to_string(), model)));
  }
  return EdgeEmbedding::from_msgpack((*v)->bytes());
}

DbResult<bool> has_node_embedding(const storage::Storage& storage, const Uuid& node, std::string_view model) {
  auto v = read_key(storage, storage::keys::node_embedding(node, model));
  if (!v) return std::unexpected(std::move(v.error()));
  return v->has_value();
}

DbResult<bool> has_edge_embedding(const storage::Storage& storage, const Uuid& edge, std::string_view model) {
  auto v = read_key(storage, storage::keys::edge_embedding(edge, model));
  if (!v) return std::unexpected(std::move(v.error()));
  return v->has_value();
}

}  // namespace zudizid::graph
