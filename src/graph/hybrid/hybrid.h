// Hybrid search: one ranking of nodes that match a text (BM25 through a
// full-text index), lie near a vector (the model's HNSW index), or both,
// fused by reciprocal rank fusion:
//   score = 1 / (rrf_k + text_rank) + 1 / (rrf_k + vector_rank)
// (each term only when the node has that rank; f32, text term first).
//
//   HybridRequest r;
//   r.text = "graph database";
//   r.k = 10;
//   auto hits = graph::hybrid::search_hybrid(g, r);
//
// Each ranking contributes at most fetch = max(k, k * candidate_multiplier)
// nodes. Hits outside the filter, and hits whose node no longer exists, are
// skipped before they take a rank or a unit of that budget.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "graph/graph.h"

namespace zudizid::graph::hybrid {

struct HybridFilter {
  std::optional<std::string> label;
  std::vector<std::pair<std::string, PropertyValue>> props;
};

struct HybridRequest {
  std::optional<std::string> text;
  std::optional<std::string> text_index;  // absent: chosen by the filter's label
  std::optional<std::pair<std::vector<float>, std::string>> vector;  // (query, model)
  std::optional<HybridFilter> filter;
  uint64_t k = 10;
  std::optional<uint64_t> ef;  // absent: 30
  uint64_t candidate_multiplier = 4;
  float rrf_k = 60.0f;
};

struct HybridHit {
  Uuid node_id;
  float score = 0.0f;
  std::optional<uint64_t> text_rank;
  std::optional<uint64_t> vector_rank;
  bool operator==(const HybridHit&) const = default;
};

// Best first, at most k. Fails with DbError::Message when neither text nor
// vector is given, with DbError::Index when text is given and no full-text
// index exists; errors of the index query, the label scan, the property
// index and the vector search are returned unchanged.
DbResult<std::vector<HybridHit>> search_hybrid(Graph& graph, const HybridRequest& request);

// The fusion step alone: ranks to scored hits, best first, at most k.
std::vector<HybridHit> fuse(const std::vector<std::pair<Uuid, uint64_t>>& text_ranks,
                            const std::vector<std::pair<Uuid, uint64_t>>& vector_ranks, float rrf_k, uint64_t k);

}  // namespace zudizid::graph::hybrid
