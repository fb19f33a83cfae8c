#include "graph/embeddings.h"

#include <fmt/format.h>

#include <array>
#include <cmath>

#include "common/utf8.h"
#include "graph/vector/index_cache.h"
#include "storage/storage_keys.h"

namespace zudizid::graph {

namespace {

DbResult<kelm::Tree> open_tree(const storage::Storage& storage, std::string_view name) {
  auto tree = storage.db().open_tree(name);
  if (!tree) return std::unexpected(DbError(tree.error()));
  return std::move(*tree);
}

DbResult<std::optional<kelm::IVec>> read_key(const storage::Storage& storage, std::string_view tree_name,
                                             std::string_view key) {
  auto tree = open_tree(storage, tree_name);
  if (!tree) return std::unexpected(std::move(tree.error()));
  auto v = tree->get(key);
  if (!v) return std::unexpected(DbError(v.error()));
  return std::move(*v);
}

DbResult<void> check_vector(std::span<const float> vector) {
  if (auto fault = embedding_vector_fault(vector)) return std::unexpected(DbError::message(std::move(*fault)));
  return {};
}

// Splits a stored reference key into its three names; nullopt unless the
// key holds exactly two NUL separators.
std::optional<std::array<std::string_view, 3>> split_reference_key(std::string_view key) {
  size_t a = key.find('\0');
  if (a == std::string_view::npos) return std::nullopt;
  size_t b = key.find('\0', a + 1);
  if (b == std::string_view::npos || key.find('\0', b + 1) != std::string_view::npos) return std::nullopt;
  return std::array<std::string_view, 3>{key.substr(0, a), key.substr(a + 1, b - a - 1), key.substr(b + 1)};
}

}  // namespace

std::optional<std::string> embedding_vector_fault(std::span<const float> vector) {
  if (vector.empty()) return std::string("embedding vector is empty");
  bool nonzero = false;
  for (size_t i = 0; i < vector.size(); ++i) {
    float x = vector[i];
    if (!std::isfinite(x)) return fmt::format("embedding vector component {} is not finite", i);
    float square = x * x;
    if (!std::isfinite(square)) {
      return fmt::format("embedding vector component {} is too large (its square overflows 32-bit floats)", i);
    }
    // The distance kernels square in 32-bit floats: a component whose square
    // rounds to zero adds nothing to the norm.
    if (square != 0.0f) nonzero = true;
  }
  if (!nonzero) return std::string("embedding vector has zero norm (cosine distance is undefined for it)");
  return std::nullopt;
}

DbResult<LengthRefusal> store_node_embedding(const Graph& graph, const Uuid& node, std::vector<float> vector,
                                             std::string_view model) {
  if (auto r = check_vector(vector); !r) return std::unexpected(std::move(r.error()));
  const storage::Storage& st = *graph.storage();
  auto exists = st.node_exists(node);
  if (!exists) return std::unexpected(std::move(exists.error()));
  if (!*exists) return std::unexpected(DbError::node_not_found(node.to_string()));
  Embedding e{node, std::move(vector), std::string(model), 1};
  auto stored = graph.embedding_indexes().dimensions().store_checked(st, ModelDimensions::Space::Node, model,
                                                                     e.vector.size(),
                                                                     [&] { return st.put_node_embedding(e); });
  // The model's cached index no longer holds every vector of the model.
  if (stored && !*stored) graph.embedding_indexes().invalidate(model);
  return stored;
}

DbResult<void> refusal_as_error(DbResult<LengthRefusal> stored) {
  if (!stored) return std::unexpected(std::move(stored.error()));
  if (*stored) return std::unexpected(DbError::message(std::move(**stored)));
  return {};
}

DbResult<void> add_node_embedding(const Graph& graph, const Uuid& node, std::vector<float> vector,
                                  std::string_view model) {
  return refusal_as_error(store_node_embedding(graph, node, std::move(vector), model));
}

DbResult<void> add_edge_embedding(const Graph& graph, const Uuid& edge, std::vector<float> vector,
                                  std::string_view model) {
  return refusal_as_error(store_edge_embedding(graph, edge, std::move(vector), model));
}

DbResult<void> add_path_reference_embedding(const Graph& graph, std::string_view name, std::string_view node_model,
                                            std::string_view edge_model, std::vector<float> vector) {
  return refusal_as_error(store_path_reference_embedding(graph, name, node_model, edge_model, std::move(vector)));
}

DbResult<LengthRefusal> check_node_embedding_length(const Graph& graph, std::string_view model, size_t length) {
  return graph.embedding_indexes().dimensions().check(*graph.storage(), ModelDimensions::Space::Node, model, length);
}

DbResult<LengthRefusal> store_edge_embedding(const Graph& graph, const Uuid& edge, std::vector<float> vector,
                                             std::string_view model) {
  if (auto r = check_vector(vector); !r) return std::unexpected(std::move(r.error()));
  const storage::Storage& st = *graph.storage();
  // Absent, undecodable or unreadable: the edge cannot be vouched for.
  if (!st.get_edge(edge)) return std::unexpected(DbError::edge_not_found(edge.to_string()));
  EdgeEmbedding e{edge, std::move(vector), std::string(model), 1};
  return graph.embedding_indexes().dimensions().store_checked(st, ModelDimensions::Space::Edge, model,
                                                              e.vector.size(), [&] { return st.put_edge_embedding(e); });
}

DbResult<LengthRefusal> store_path_reference_embedding(const Graph& graph, std::string_view name,
                                                       std::string_view node_model, std::string_view edge_model,
                                                       std::vector<float> vector) {
  PathReferenceEmbedding e{std::string(name), std::string(node_model), std::string(edge_model), std::move(vector),
                           unix_seconds_now()};
  if (auto r = check_path_reference_vector(e.vector); !r) return std::unexpected(std::move(r.error()));
  const std::string pair = e.node_model + '\0' + e.edge_model;
  const storage::Storage& st = *graph.storage();
  return graph.embedding_indexes().dimensions().store_checked(
      st, ModelDimensions::Space::PathReference, pair, e.vector.size(),
      [&] { return st.put_path_reference_embedding(e); });
}

DbResult<Embedding> read_node_embedding(const storage::Storage& storage, const Uuid& node, std::string_view model) {
  auto v = read_key(storage, storage::keys::kEmbeddingsTree, storage::keys::node_embedding(node, model));
  if (!v) return std::unexpected(std::move(v.error()));
  if (!*v) {
    return std::unexpected(
        DbError::message(fmt::format("Embedding not found for node {} model {}", node.to_string(), model)));
  }
  return Embedding::from_msgpack((*v)->bytes());
}

DbResult<EdgeEmbedding> get_edge_embedding(const storage::Storage& storage, const Uuid& edge, std::string_view model) {
  auto v = read_key(storage, storage::keys::kEmbeddingsTree, storage::keys::edge_embedding(edge, model));
  if (!v) return std::unexpected(std::move(v.error()));
  if (!*v) {
    return std::unexpected(
        DbError::message(fmt::format("Embedding not found for edge {} model {}", edge.to_string(), model)));
  }
  return EdgeEmbedding::from_msgpack((*v)->bytes());
}

DbResult<bool> has_node_embedding(const storage::Storage& storage, const Uuid& node, std::string_view model) {
  auto v = read_key(storage, storage::keys::kEmbeddingsTree, storage::keys::node_embedding(node, model));
  if (!v) return std::unexpected(std::move(v.error()));
  return v->has_value();
}

DbResult<bool> has_edge_embedding(const storage::Storage& storage, const Uuid& edge, std::string_view model) {
  auto v = read_key(storage, storage::keys::kEmbeddingsTree, storage::keys::edge_embedding(edge, model));
  if (!v) return std::unexpected(std::move(v.error()));
  return v->has_value();
}

DbResult<PathReferenceEmbedding> get_path_reference_embedding(const storage::Storage& storage, std::string_view name,
                                                              std::string_view node_model,
                                                              std::string_view edge_model) {
  auto not_found = [&] {
    return std::unexpected(DbError::query_execution(fmt::format(
        "PathReferenceEmbedding '{}' (node_model={}, edge_model={}) not found", name, node_model, edge_model)));
  };
  // Names holding NUL can never have been stored.
  auto key = storage::keys::path_reference(name, node_model, edge_model);
  if (!key) return not_found();
  auto v = read_key(storage, storage::keys::kPathRefEmbeddingsTree, *key);
  if (!v) return std::unexpected(std::move(v.error()));
  if (!*v) return not_found();
  return PathReferenceEmbedding::from_msgpack((*v)->bytes());
}

DbResult<std::vector<PathReferenceEmbedding>> scan_path_reference_embeddings(const storage::Storage& storage,
                                                                             std::string_view node_model,
                                                                             std::string_view edge_model) {
  auto tree = open_tree(storage, storage::keys::kPathRefEmbeddingsTree);
  if (!tree) return std::unexpected(std::move(tree.error()));
  std::vector<PathReferenceEmbedding> out;
  auto it = tree->iter();
  while (auto next = it.next()) {
    if (!*next) return std::unexpected(DbError((*next).error()));
    const auto& [key, value] = **next;
    if (auto bad = common::validate_utf8(key.bytes())) return std::unexpected(DbError::message(bad->message()));
    auto parts = split_reference_key(key.view());
    if (!parts || (*parts)[1] != node_model || (*parts)[2] != edge_model) continue;
    auto record = PathReferenceEmbedding::from_msgpack(value.bytes());
    if (!record) return std::unexpected(std::move(record.error()));
    out.push_back(std::move(*record));
  }
  return out;
}

}  // namespace zudizid::graph
