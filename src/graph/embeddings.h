// Stored node and edge embeddings: one vector per (node or edge, model) in
// the "embeddings" tree.
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "graph/graph.h"
#include "storage/versioned.h"

namespace zudizid::graph {

// Stores (replacing) the node's vector for `model`; NodeNotFound when the
// node has no record. The vector is taken as it is.
DbResult<void> add_node_embedding(const Graph& graph, const Uuid& node, std::vector<float> vector,
                                  std::string_view model);

// "Embedding not found for node {} model {}" when absent.
DbResult<Embedding> read_node_embedding(const storage::Storage& storage, const Uuid& node, std::string_view model);
// "Embedding not found for edge {} model {}" when absent.
DbResult<EdgeEmbedding> get_edge_embedding(const storage::Storage& storage, const Uuid& edge, std::string_view model);

DbResult<bool> has_node_embedding(const storage::Storage& storage, const Uuid& node, std::string_view model);
DbResult<bool> has_edge_embedding(const storage::Storage& storage, const Uuid& edge, std::string_view model);

}  // namespace zudizid::graph
