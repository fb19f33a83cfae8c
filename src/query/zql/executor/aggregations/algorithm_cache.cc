#include "query/zql/executor/aggregations/algorithm_cache.h"

#include "common/utf8.h"

#include <array>
#include <string>

namespace zudizid::query::zql::executor::aggregations {

namespace {

constexpr std::array<std::string_view, kAlgorithmCount> kNames = {
    "pagerank", "degree", "clustering", "betweenness", "community", "community_fast", "leiden"};

constexpr std::array<std::string_view, kAlgorithmCount> kNotPrecomputed = {
    "pagerank algorithm not precomputed",
    "degree algorithm not precomputed",
    "clustering algorithm not precomputed",
    "betweenness algorithm not precomputed",
    "community algorithm not precomputed",
    "community algorithm not precomputed",
    "leiden algorithm not precomputed \u2014 aseg\u00farate de tener feature `algorithms`",
};

template <class T>
PropertyValue value_of(const std::optional<algorithms::NodeMap<T>>& slot, const Uuid& node) {
  if (!slot) return PropertyValue::null();
  const T* v = slot->find(node);
  if (!v) return PropertyValue::null();
  if constexpr (std::is_same_v<T, double>) {
    return PropertyValue::float64(*v);
  } else {
    return PropertyValue::integer(static_cast<int64_t>(*v));
  }
}

template <class T>
PropertyValue mean_of(const algorithms::NodeMap<T>& slot, std::span<const Node> nodes) {
  if (nodes.empty()) return PropertyValue::float64(0.0);
  double sum = 0;
  for (const Node& n : nodes) {
    if (const T* v = slot.find(n.id)) sum += static_cast<double>(*v);
  }
  return PropertyValue::float64(sum / static_cast<double>(nodes.size()));
}

// Calls f(slot) with the slot of `a`.
template <class F>
decltype(auto) with_slot(const AlgorithmCache& cache, Algorithm a, F&& f) {
  switch (a) {
    case Algorithm::PageRank:
      return f(cache.pagerank);
    case Algorithm::Degree:
      return f(cache.degree);
    case Algorithm::Clustering:
      return f(cache.clustering);
    case Algorithm::Betweenness:
      return f(cache.betweenness);
    case Algorithm::Community:
      return f(cache.community);
    case Algorithm::CommunityFast:
      return f(cache.community_fast);
    case Algorithm::Leiden:
      break;
  }
  return f(cache.leiden);
}

}  // namespace

std::optional<Algorithm> algorithm_named(std::string_view name) {
  auto lowered = common::ascii_lowered(name);
  if (!lowered) return std::nullopt;
  for (size_t i = 0; i < kNames.size(); ++i) {
    if (*lowered == kNames[i]) return static_cast<Algorithm>(i);
  }
  return std::nullopt;
}

bool is_algorithm_name(std::string_view name) {
  if (algorithm_named(name)) return true;
  auto lowered = common::ascii_lowered(name);
  return lowered && *lowered == "shortestpath";
}

bool is_algorithm_function(const ast::Expr& expr) {
  const auto* call = expr.get_if<ast::Expr::FunctionCall>();
  return call && is_algorithm_name(call->name);
}

std::string_view algorithm_name(Algorithm a) { return kNames[static_cast<size_t>(a)]; }

bool AlgorithmCache::has(Algorithm a) const {
  return with_slot(*this, a, [](const auto& slot) { return slot.has_value(); });
}

PropertyValue algorithm_value_for_node(std::string_view name, const Uuid& node, const AlgorithmCache& cache) {
  auto a = algorithm_named(name);
  if (!a) return PropertyValue::null();
  return with_slot(cache, *a, [&](const auto& slot) { return value_of(slot, node); });
}

std::optional<DbResult<PropertyValue>> evaluate_algorithm_mean(std::string_view name, std::span<const Node> nodes,
                                                               const AlgorithmCache& cache) {
  auto a = algorithm_named(name);
  if (!a || algorithm_name(*a) != name) return std::nullopt;
  return with_slot(cache, *a, [&](const auto& slot) -> DbResult<PropertyValue> {
    if (!slot) return std::unexpected(DbError::query_execution(std::string(kNotPrecomputed[static_cast<size_t>(*a)])));
    return mean_of(*slot, nodes);
  });
}

}  // namespace zudizid::query::zql::executor::aggregations
