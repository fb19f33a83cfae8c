// Stored embeddings: one vector per (node or edge, model) in the
// "embeddings" tree, and named path reference vectors per (name, node model,
// edge model) in "path_ref_embeddings". Writes go straight into the trees (no
// transaction, lock or log record) and become durable at the key-value
// engine's next flush; a store under an existing key replaces the record.
//
// Every vector the graph stores is one cosine distance can compare: not
// empty, every component finite with a square that stays finite in 32-bit
// floats, and a non-zero norm (a zero vector would be at distance 0 from
// everything). Stores refuse any other vector before writing anything.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "graph/graph.h"
#include "graph/vector/model_dimensions.h"
#include "storage/versioned.h"

namespace zudizid::graph {

// Why `vector` cannot be stored as a node or edge embedding, or nullopt:
//   "embedding vector is empty"
//   "embedding vector component {i} is not finite"
//   "embedding vector component {i} is too large (its square overflows 32-bit floats)"
//   "embedding vector has zero norm (cosine distance is undefined for it)"
std::optional<std::string> embedding_vector_fault(std::span<const float> vector);

// Every store also keeps each model's vectors at one length (see
// vector/model_dimensions.h): a vector of another length than the model's
// is refused with a LengthRefusal naming both lengths, and nothing is
// written. The add_* forms report that refusal as DbError::Message.

// Stores (replacing) the node's vector for `model`. A refused vector fails
// with DbError::Message carrying the fault; a node without its record with
// NodeNotFound; nothing is written then.
DbResult<LengthRefusal> store_node_embedding(const Graph& graph, const Uuid& node, std::vector<float> vector,
                                             std::string_view model);
DbResult<void> add_node_embedding(const Graph& graph, const Uuid& node, std::vector<float> vector,
                                  std::string_view model);

// The store_* operations with a LengthRefusal reported as DbError::Message.
DbResult<void> refusal_as_error(DbResult<LengthRefusal> stored);
DbResult<void> add_edge_embedding(const Graph& graph, const Uuid& edge, std::vector<float> vector,
                                  std::string_view model);
DbResult<void> add_path_reference_embedding(const Graph& graph, std::string_view name, std::string_view node_model,
                                            std::string_view edge_model, std::vector<float> vector);

// The refusal a node vector of `length` would meet under `model` now.
DbResult<LengthRefusal> check_node_embedding_length(const Graph& graph, std::string_view model, size_t length);

// Stores (replacing) the edge's vector for `model`. The vector rule as for
// nodes; any failure to read the edge record is EdgeNotFound with the id.
DbResult<LengthRefusal> store_edge_embedding(const Graph& graph, const Uuid& edge, std::vector<float> vector,
                                             std::string_view model);

// Stores (replacing) the reference, stamped with the current Unix time.
// Refuses (QueryExecution) an empty vector, one whose 32-bit sum of squares
// is zero, and one whose sum of squares is not finite; names holding NUL
// bytes are refused by the key layout. The references of one (node_model,
// edge_model) pair share one length.
DbResult<LengthRefusal> store_path_reference_embedding(const Graph& graph, std::string_view name,
                                                       std::string_view node_model, std::string_view edge_model,
                                                       std::vector<float> vector);

// "Embedding not found for node {} model {}" (DbError::Message) when absent.
// The node record is not consulted.
DbResult<Embedding> read_node_embedding(const storage::Storage& storage, const Uuid& node, std::string_view model);
inline DbResult<Embedding> get_node_embedding(const Graph& graph, const Uuid& node, std::string_view model) {
  return read_node_embedding(*graph.storage(), node, model);
}
// "Embedding not found for edge {} model {}" when absent.
DbResult<EdgeEmbedding> get_edge_embedding(const storage::Storage& storage, const Uuid& edge, std::string_view model);

DbResult<bool> has_node_embedding(const storage::Storage& storage, const Uuid& node, std::string_view model);
DbResult<bool> has_edge_embedding(const storage::Storage& storage, const Uuid& edge, std::string_view model);

// QueryExecution "PathReferenceEmbedding '{}' (node_model={}, edge_model={}) not found" when absent.
DbResult<PathReferenceEmbedding> get_path_reference_embedding(const storage::Storage& storage, std::string_view name,
                                                              std::string_view node_model,
                                                              std::string_view edge_model);

// Every reference stored for exactly (node_model, edge_model), in ascending
// byte order of their names. A key that is not UTF-8 ends the scan with
// DbError::Message carrying the decoder's text.
DbResult<std::vector<PathReferenceEmbedding>> scan_path_reference_embeddings(const storage::Storage& storage,
                                                                             std::string_view node_model,
                                                                             std::string_view edge_model);

}  // namespace zudizid::graph
