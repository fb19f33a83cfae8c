#include "query/zql/executor/paths/path_embeddings.h"

#include <algorithm>
#include <cmath>
#include <fmt/format.h>

#include "common/utf8.h"

namespace zudizid::query::zql::executor {

namespace {

using ast::Expr;
using Kind = PropertyValue::Kind;

DbError exec_error(std::string text) { return DbError::query_execution(std::move(text)); }

const std::string* string_literal(const Expr& e) {
  const auto* lit = e.get_if<Expr::Literal>();
  return lit != nullptr && lit->value.kind() == Kind::String ? &lit->value.as_string() : nullptr;
}

// The string literals of `args`, or the message of the first check that
// fails: `count` for a wrong number of arguments, then `per_arg[i]`.
DbResult<std::vector<std::string>> literal_args(std::span<const Expr> args, size_t expected, std::string count,
                                                std::initializer_list<std::string_view> per_arg) {
  if (args.size() != expected) return std::unexpected(exec_error(std::move(count)));
  std::vector<std::string> out;
  size_t i = 0;
  for (std::string_view message : per_arg) {
    const std::string* s = string_literal(args[i++]);
    if (s == nullptr) return std::unexpected(exec_error(std::string(message)));
    out.push_back(*s);
  }
  return out;
}

// The two model names of the (nm, em) functions named in `tag`.
DbResult<std::vector<std::string>> model_args(std::span<const Expr> args, std::string_view fn, std::string_view tag) {
  return literal_args(
      args, 2, fmt::format("{}(node_model, edge_model) requires exactly 2 string literal model names in {}", fn, tag),
      {fmt::format("{}(node_model, edge_model) requires a string literal node model as first argument in {}", fn, tag),
       fmt::format("{}(node_model, edge_model) requires a string literal edge model as second argument in {}", fn,
                   tag)});
}

struct Sums {
  float dot = -0.0f;
  float norm_a = -0.0f;
  float norm_b = -0.0f;
};

Sums sums(std::span<const float> a, std::span<const float> b) {
  Sums s;
  for (size_t i = 0; i < a.size(); ++i) {
    s.dot += a[i] * b[i];
    s.norm_a += a[i] * a[i];
    s.norm_b += b[i] * b[i];
  }
  return s;
}

float squared_norm(std::span<const float> v) {
  float n = -0.0f;
  for (float x : v) n += x * x;
  return n;
}

// Component-wise mean; every vector has the first one's length.
std::vector<float> mean(const std::vector<const std::vector<float>*>& vectors) {
  std::vector<float> m(vectors.front()->size(), 0.0f);
  for (const auto* v : vectors) {
    for (size_t i = 0; i < m.size(); ++i) m[i] += (*v)[i];
  }
  const auto count = static_cast<float>(vectors.size());
  for (float& x : m) x /= count;
  return m;
}

// The mean of the vectors `read` gives for `items` (read in order; the first
// failed read is the outcome), all of the first one's length.
template <class Item, class Read>
DbResult<std::vector<float>> mean_embedding(const std::vector<Item>& items, std::string_view what,
                                            std::string_view model, Read&& read) {
  std::vector<const std::vector<float>*> vectors;
  vectors.reserve(items.size());
  for (const Item& item : items) {
    auto v = read(item);
    if (!v) return std::unexpected(std::move(v.error()));
    vectors.push_back(*v);
  }
  for (const auto* v : vectors) {
    if (v->size() != vectors.front()->size()) {
      return std::unexpected(exec_error(
          fmt::format("PathEmbedding E-7: inconsistent {} embedding dimensions for model '{}'", what, model)));
    }
  }
  return mean(vectors);
}

PropertyValue float_list(const std::vector<float>& v) {
  PropertyList list;
  list.reserve(v.size());
  for (float x : v) list.push_back(PropertyValue::float64(x));
  return PropertyValue::list(std::move(list));
}

DbResult<bool> has_embeddings(PathEnv& env, const PathBinding& path, const std::string& nm, const std::string& em) {
  if (path.nodes.empty() || path.edges.empty()) return false;
  for (const Node& n : path.nodes) {
    auto has = env.has_node_embedding(n.id, nm);
    if (!has || !*has) return has;
  }
  for (const Edge& e : path.edges) {
    auto has = env.has_edge_embedding(e.id, em);
    if (!has || !*has) return has;
  }
  return true;
}

DbResult<PropertyValue> knn_references(PathEnv& env, const PathBinding& path, std::span<const Expr> args) {
  if (args.size() != 4) {
    return std::unexpected(exec_error(fmt::format("path_knn_references requires exactly 4 arguments, got {}", args.size())));
  }
  const std::string* nm = string_literal(args[0]);
  if (nm == nullptr) return std::unexpected(exec_error("path_knn_references: node_model (arg 1) must be a string literal"));
  const std::string* em = string_literal(args[1]);
  if (em == nullptr) return std::unexpected(exec_error("path_knn_references: edge_model (arg 2) must be a string literal"));
  const auto* k = args[2].get_if<Expr::Literal>();
  if (k == nullptr || k->value.kind() != Kind::Int || k->value.as_int() < 1) {
    return std::unexpected(exec_error("path_knn_references: k (arg 3) must be a positive integer literal"));
  }
  const auto* min = args[3].get_if<Expr::Literal>();
  if (min == nullptr || (min->value.kind() != Kind::Int && min->value.kind() != Kind::Float)) {
    return std::unexpected(exec_error("path_knn_references: min_score (arg 4) must be a numeric literal (0.0..1.0)"));
  }
  const float min_score = min->value.kind() == Kind::Int ? static_cast<float>(min->value.as_int())
                                                         : static_cast<float>(min->value.as_float());
  auto vector = path_embedding_vector(env, path, *nm, *em);
  if (!vector) return std::unexpected(std::move(vector.error()));
  if (squared_norm(*vector) == 0.0f) {
    return std::unexpected(
        exec_error("path_knn_references: path vector has zero norm \u2014 cannot compute similarity (PathKNN E-9)"));
  }
  auto references = env.references(*nm, *em);
  if (!references) return std::unexpected(std::move(references.error()));
  auto scored = score_path_references(**references, *vector, min_score);
  std::stable_sort(scored.begin(), scored.end(),
                   [](const ScoredReference& a, const ScoredReference& b) { return a.score > b.score; });
  if (scored.size() > static_cast<uint64_t>(k->value.as_int())) scored.resize(static_cast<size_t>(k->value.as_int()));
  return knn_references_to_values(scored);
}

DbResult<PropertyValue> anomaly_score(PathEnv& env, const PathBinding& path, std::span<const Expr> args) {
  auto models = literal_args(
      args, 2,
      fmt::format("path_anomaly_score requires exactly 2 arguments: path_anomaly_score(node_model, edge_model), got {}",
                  args.size()),
      {"path_anomaly_score: node_model (arg 1) must be a string literal",
       "path_anomaly_score: edge_model (arg 2) must be a string literal"});
  if (!models) return std::unexpected(std::move(models.error()));
  auto vector = path_embedding_vector(env, path, (*models)[0], (*models)[1]);
  if (!vector) return std::unexpected(std::move(vector.error()));
  if (squared_norm(*vector) == 0.0f) {
    return std::unexpected(exec_error(
        "path_anomaly_score: path vector has zero norm \u2014 cannot compute anomaly score (PathAnomaly E-10)"));
  }
  auto references = env.references((*models)[0], (*models)[1]);
  if (!references) return std::unexpected(std::move(references.error()));
  std::vector<const std::vector<float>*> kept;
  for (const PathReferenceEmbedding& r : **references) {
    if (r.vector.size() == vector->size()) kept.push_back(&r.vector);
  }
  if (kept.empty()) return PropertyValue::float64(1.0);
  const std::vector<float> centroid = mean(kept);
  const Sums s = sums(*vector, centroid);
  if (s.norm_b == 0.0f) return PropertyValue::float64(1.0);
  const float cos = s.dot / (std::sqrt(s.norm_a) * std::sqrt(s.norm_b));
  const float score = 1.0f - cos;
  return PropertyValue::float64(std::isnan(score) ? score : std::clamp(score, 0.0f, 1.0f));
}

DbResult<PropertyValue> embedding_similarity(PathEnv& env, const PathBinding& path, std::span<const Expr> args) {
  auto names = literal_args(
      args, 3,
      fmt::format("path_embedding_similarity requires exactly 3 arguments: path_embedding_similarity(ref_name, "
                  "node_model, edge_model), got {}",
                  args.size()),
      {"path_embedding_similarity: ref_name (arg 1) must be a string literal",
       "path_embedding_similarity: node_model (arg 2) must be a string literal",
       "path_embedding_similarity: edge_model (arg 3) must be a string literal"});
  if (!names) return std::unexpected(std::move(names.error()));
  const auto& [ref, nm, em] = std::tie((*names)[0], (*names)[1], (*names)[2]);
  auto vector = path_embedding_vector(env, path, nm, em);
  if (!vector) return std::unexpected(std::move(vector.error()));
  auto reference = env.reference(ref, nm, em);
  if (!reference) return std::unexpected(std::move(reference.error()));
  const std::vector<float>& rv = (*reference)->vector;
  if (rv.size() != vector->size()) {
    return std::unexpected(exec_error(fmt::format(
        "path_embedding_similarity: dimension mismatch \u2014 path vector has {} dimensions, reference '{}' has {} "
        "dimensions",
        vector->size(), ref, rv.size())));
  }
  auto cos = path_similarity_cosine(*vector, rv);
  if (!cos) return std::unexpected(std::move(cos.error()));
  return PropertyValue::float64(*cos);
}

}  // namespace

DbResult<PropertyValue> eval_path_embedding_function(PathEnv& env, const PathBinding& path, std::string_view name,
                                                     std::span<const Expr> args) {
  const std::string fn = common::ascii_lowered(name).value_or(std::string());
  if (fn == "path_embedding" || fn == "pattern_embedding") {
    const bool pattern = fn == "pattern_embedding";
    auto models = model_args(args, fn, pattern ? "PatternEmbedding E-3" : "PathEmbedding E-7");
    if (!models) return std::unexpected(std::move(models.error()));
    auto vector = pattern ? pattern_embedding_vector(env, path, (*models)[0], (*models)[1])
                          : path_embedding_vector(env, path, (*models)[0], (*models)[1]);
    if (!vector) return std::unexpected(std::move(vector.error()));
    return float_list(*vector);
  }
  if (fn == "path_has_embeddings" || fn == "pattern_has_embeddings") {
    const bool pattern = fn == "pattern_has_embeddings";
    const std::string_view tag = pattern ? "PatternEmbedding E-3" : "PathEmbedding E-7";
    if (args.size() == 1) {
      return std::unexpected(exec_error(
          fmt::format("{}(\"model\") was replaced in {}; use {}(node_model, edge_model)", fn, tag, fn)));
    }
    auto models = model_args(args, fn, tag);
    if (!models) return std::unexpected(std::move(models.error()));
    auto has = has_embeddings(env, path, (*models)[0], (*models)[1]);
    if (!has) return std::unexpected(std::move(has.error()));
    return PropertyValue::boolean(*has);
  }
  if (fn == "path_embedding_similarity") return embedding_similarity(env, path, args);
  if (fn == "path_knn_references") return knn_references(env, path, args);
  if (fn == "path_anomaly_score") return anomaly_score(env, path, args);
  return std::unexpected(
      exec_error("pattern_embedding_similarity(...) is no longer the official PatternEmbedding surface in E-3; use "
                 "pattern_embedding(node_model, edge_model)"));
}

DbResult<std::vector<float>> path_embedding_vector(PathEnv& env, const PathBinding& path, std::string_view node_model,
                                                   std::string_view edge_model) {
  if (path.nodes.empty() || path.edges.empty()) {
    return std::unexpected(
        exec_error("PathEmbedding requires a materialized linear path with at least one relationship in E-7"));
  }
  if (path.nodes.size() != path.edges.size() + 1) {
    return std::unexpected(exec_error(fmt::format("PathEmbedding E-7 expects nodes = edges + 1, got {} nodes and {} edges",
                                                  path.nodes.size(), path.edges.size())));
  }
  auto out = mean_embedding(path.nodes, "node", node_model,
                            [&](const Node& n) { return env.node_embedding(n.id, node_model); });
  if (!out) return out;
  auto edge_mean = mean_embedding(path.edges, "edge", edge_model,
                                  [&](const Edge& e) { return env.edge_embedding(e.id, edge_model); });
  if (!edge_mean) return edge_mean;
  out->insert(out->end(), edge_mean->begin(), edge_mean->end());
  return out;
}

DbResult<std::vector<float>> pattern_embedding_vector(PathEnv& env, const PathBinding& path,
                                                      std::string_view node_model, std::string_view edge_model) {
  if (path.nodes.empty() || path.edges.empty()) {
    return std::unexpected(
        exec_error("PatternEmbedding requires a materialized linear path with at least one relationship in E-3"));
  }
  if (path.nodes.size() != path.edges.size() + 1) {
    return std::unexpected(exec_error(fmt::format(
        "PatternEmbedding E-3 expects nodes = edges + 1, got {} nodes and {} edges", path.nodes.size(), path.edges.size())));
  }
  std::vector<float> out;
  size_t node_dim = 0;
  size_t edge_dim = 0;
  for (size_t i = 0; i < path.nodes.size(); ++i) {
    auto nv = env.node_embedding(path.nodes[i].id, node_model);
    if (!nv) return std::unexpected(std::move(nv.error()));
    if (i == 0) node_dim = (*nv)->size();
    if ((*nv)->size() != node_dim) {
      return std::unexpected(
          exec_error(fmt::format("PatternEmbedding E-3: inconsistent node embedding dimensions for model '{}': expected "
                                 "{}, got {}",
                                 node_model, node_dim, (*nv)->size())));
    }
    out.insert(out.end(), (*nv)->begin(), (*nv)->end());
    if (i == path.edges.size()) break;
    auto ev = env.edge_embedding(path.edges[i].id, edge_model);
    if (!ev) return std::unexpected(std::move(ev.error()));
    if (i == 0) edge_dim = (*ev)->size();
    if ((*ev)->size() != edge_dim) {
      return std::unexpected(
          exec_error(fmt::format("PatternEmbedding E-3: inconsistent edge embedding dimensions for model '{}': expected "
                                 "{}, got {}",
                                 edge_model, edge_dim, (*ev)->size())));
    }
    out.insert(out.end(), (*ev)->begin(), (*ev)->end());
  }
  return out;
}

DbResult<float> path_similarity_cosine(std::span<const float> a, std::span<const float> b) {
  if (a.empty()) return std::unexpected(exec_error("PathSimilarity E-8 cannot compare empty vectors"));
  const Sums s = sums(a, b);
  if (s.norm_a == 0.0f || s.norm_b == 0.0f) {
    return std::unexpected(exec_error("PathSimilarity E-8 cannot compare zero-norm vectors"));
  }
  return s.dot / (std::sqrt(s.norm_a) * std::sqrt(s.norm_b));
}

std::vector<ScoredReference> score_path_references(std::span<const PathReferenceEmbedding> references,
                                                   std::span<const float> path_vector, float min_score) {
  std::vector<ScoredReference> kept;
  for (const PathReferenceEmbedding& r : references) {
    if (r.vector.size() != path_vector.size()) continue;
    auto score = path_similarity_cosine(path_vector, r.vector);
    if (score && *score >= min_score) kept.push_back({r.name, *score});
  }
  return kept;
}

PropertyValue knn_references_to_values(std::span<const ScoredReference> scored) {
  PropertyList list;
  list.reserve(scored.size());
  for (const ScoredReference& s : scored) {
    list.push_back(PropertyValue::object(
        {{"name", PropertyValue::string(s.name)}, {"score", PropertyValue::float64(s.score)}}));
  }
  return PropertyValue::list(std::move(list));
}

}  // namespace zudizid::query::zql::executor
