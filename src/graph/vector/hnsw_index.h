// HnswIndex: an in-memory nearest-neighbour index over the stored node
// embeddings of one model, under the cosine distance.
//
// An index is never stored. It is built from the "embeddings" tree when a
// caller asks for one, either through the handle's per-model cache
// (index_cache.h) or fresh for a single call, and is immutable once built:
// embeddings stored later are not in it. Data ids are 0, 1, 2, ... in the
// order the build read the embeddings (ascending key order), so the node of
// data id i is id_to_node()[i].
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/uuid.h"
#include "hnsw/hnsw/hnsw.h"
#include "storage/db_error.h"

namespace zudizid::graph {

class Graph;

// Fixed build parameters of every embedding index.
inline constexpr uint64_t kIndexMaxNbConnection = 24;
inline constexpr uint64_t kIndexEfConstruction = 400;
inline constexpr uint64_t kIndexLayers = 16;
// Builds of at least this many vectors insert on the data-parallel pool.
inline constexpr size_t kParallelBuildThreshold = 128;
// The ef that searches use unless their caller gives another.
inline constexpr uint64_t kDefaultSearchEf = 30;

class HnswIndex {
 public:
  using Pair = std::pair<common::Uuid, std::vector<float>>;
  using Hit = std::pair<common::Uuid, float>;

  // Builds an index of `pairs` (at least one) in one blocking step. Every
  // vector must have `dimension` elements ("HnswIndex::build_batch: node {}
  // has dimension {}, expected {}", the first offender in list order) and be
  // usable by the cosine distance; both are checked before the graph exists.
  static DbResult<std::unique_ptr<HnswIndex>> build_batch(std::string model, size_t dimension,
                                                          std::vector<Pair> pairs);

  // Up to k (node id, cosine distance) pairs, nearest first, searching with
  // an ef of max(ef, k). A query of another length fails with
  // "HnswIndex({}): query dimension {} != index dimension {}".
  DbResult<std::vector<Hit>> search(std::span<const float> query, uint64_t k, uint64_t ef) const;

  const std::string& model() const { return model_; }
  size_t dimension() const { return dimension_; }
  size_t size() const { return id_to_node_.size(); }
  const std::vector<common::Uuid>& id_to_node() const { return id_to_node_; }

 private:
  HnswIndex(std::string model, size_t dimension, std::unique_ptr<vantor::HnswCosine> hnsw,
            std::vector<common::Uuid> id_to_node)
      : model_(std::move(model)), dimension_(dimension), hnsw_(std::move(hnsw)), id_to_node_(std::move(id_to_node)) {}

  std::string model_;
  size_t dimension_;
  std::unique_ptr<vantor::HnswCosine> hnsw_;
  std::vector<common::Uuid> id_to_node_;  // data id -> node id
};

// Reads every stored node embedding of `model` (keys "{node}:{model}" of the
// "embeddings" tree, edge embeddings "e:..." skipped) and builds a new index
// of them on the runtime's blocking pool, waiting for it. Fails with
// "build_embedding_index: no embeddings found for model '{}'" when there are
// none; a key that is not UTF-8 fails with the decoder's text.
DbResult<std::unique_ptr<HnswIndex>> build_embedding_index(const Graph& graph, std::string_view model);

}  // namespace zudizid::graph
