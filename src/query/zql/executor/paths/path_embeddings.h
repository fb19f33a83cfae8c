// Path and pattern embedding functions over one matched path, built from
// the stored per-model embeddings of its nodes and edges and the named path
// reference embeddings:
//
//   path_embedding(nm, em)          mean of node vectors ++ mean of edge vectors
//   pattern_embedding(nm, em)       node 0, edge 0, node 1, ..., last node
//   path_has_embeddings(nm, em), pattern_has_embeddings(nm, em)
//   path_embedding_similarity(ref, nm, em)   cosine with one reference
//   path_knn_references(nm, em, k, min_score) best references, List of
//                                   {"name", "score"} Objects, highest first
//   path_anomaly_score(nm, em)      1 - cosine with the references' centroid,
//                                   clamped to [0, 1]
//   pattern_embedding_similarity    retired: always refused
//
// All vector arithmetic is in 32-bit floats, in index and path order (sums
// of dot products and norms start from -0.0, means from +0.0); results are
// widened to doubles at the end. Argument errors come before any read.
#pragma once

#include <span>
#include <string_view>
#include <vector>

#include "query/zql/executor/paths/path_binding.h"
#include "query/zql/executor/paths/path_env.h"

namespace zudizid::query::zql::executor {

DbResult<PropertyValue> eval_path_embedding_function(PathEnv& env, const PathBinding& path, std::string_view name,
                                                     std::span<const ast::Expr> args);

DbResult<std::vector<float>> path_embedding_vector(PathEnv& env, const PathBinding& path, std::string_view node_model,
                                                   std::string_view edge_model);
DbResult<std::vector<float>> pattern_embedding_vector(PathEnv& env, const PathBinding& path,
                                                      std::string_view node_model, std::string_view edge_model);
// Two vectors of equal length.
DbResult<float> path_similarity_cosine(std::span<const float> a, std::span<const float> b);

struct ScoredReference {
  std::string name;
  float score;
};
// References of the path vector's length whose cosine is at least
// min_score, in reference order (zero-norm references are skipped).
std::vector<ScoredReference> score_path_references(std::span<const PathReferenceEmbedding> references,
                                                   std::span<const float> path_vector, float min_score);
PropertyValue knn_references_to_values(std::span<const ScoredReference> scored);

}  // namespace zudizid::query::zql::executor
