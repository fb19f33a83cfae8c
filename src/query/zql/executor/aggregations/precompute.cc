#include "query/zql/executor/aggregations/precompute.h"

#include <unordered_set>
#include <vector>

#include "algorithms/betweenness/betweenness.h"
#include "algorithms/blocking_task.h"
#include "algorithms/clustering/clustering.h"
#include "algorithms/community/community.h"
#include "algorithms/community/run_leiden.h"
#include "algorithms/degree/degree.h"
#include "algorithms/pagerank/pagerank.h"
#include "graph/view/graph_view.h"
#include "graph/view/result_slots.h"
#include "query/zql/executor/aggregations/label_propagation.h"

namespace zudizid::query::zql::executor::aggregations {

namespace {

using algorithms::EdgeEnds;
using algorithms::NodeMap;
using graph::GraphView;

// Collects the names under `root` without recursion: expression trees can
// be deep.
void collect(const ast::Expr& root, AlgorithmSet& names) {
  std::vector<const ast::Expr*> pending{&root};
  while (!pending.empty()) {
    const ast::Expr* e = pending.back();
    pending.pop_back();
    if (const auto* call = e->get_if<ast::Expr::FunctionCall>()) {
      if (auto a = algorithm_named(call->name)) names.set(static_cast<size_t>(*a));
      for (auto it = call->args.rbegin(); it != call->args.rend(); ++it) pending.push_back(&*it);
    } else if (const auto* bin = e->get_if<ast::Expr::BinaryOp>()) {
      pending.push_back(bin->right.get());
      pending.push_back(bin->left.get());
    } else if (const auto* un = e->get_if<ast::Expr::UnaryOp>()) {
      pending.push_back(un->expr.get());
    }
  }
}

template <class T>
using Compute = std::function<NodeMap<T>(std::vector<Uuid>, std::vector<EdgeEnds>)>;

// Reads the view and runs `compute` on the blocking pool (not at all
// without nodes).
template <class T>
DbResult<NodeMap<T>> run_on_view(const GraphView& view, std::string_view join_message, Compute<T> compute) {
  auto nodes = view.nodes();
  if (!nodes) return std::unexpected(std::move(nodes.error()));
  if (nodes->empty()) return NodeMap<T>{};
  auto edges = view.edges();
  if (!edges) return std::unexpected(std::move(edges.error()));
  return algorithms::run_blocking<NodeMap<T>>(
      join_message, [compute = std::move(compute), nodes = std::move(*nodes), edges = std::move(*edges)]() mutable {
        return compute(std::move(nodes), std::move(edges));
      });
}

// Stores a computed map in its slot; the error otherwise.
template <class T>
std::optional<DbError> fill(std::optional<NodeMap<T>>& slot, DbResult<NodeMap<T>> computed) {
  if (!computed) return std::move(computed.error());
  slot = std::move(*computed);
  return std::nullopt;
}

DbResult<NodeMap<uint64_t>> community_reused(const graph::Graph& graph) {
  const uint64_t stamp = graph::change_counter(graph);
  auto slots = graph::community_slots(graph);
  if (auto held = slots->community.load(stamp)) return std::move(*held);
  auto computed = run_on_view<uint64_t>(
      GraphView::whole_graph(graph), "community detect join error: {}",
      [](std::vector<Uuid> n, std::vector<EdgeEnds> e) { return algorithms::community::detect_communities(n, e, {}); });
  if (computed) slots->community.store(*computed, stamp);
  return computed;
}

}  // namespace

AlgorithmSet named_algorithms(const ast::Query& query) {
  AlgorithmSet names;
  for (const ast::Projection& p : query.find.projections) {
    if (const auto* e = std::get_if<ast::ExpressionProjection>(&p)) collect(e->expr, names);
  }
  if (query.filter) collect(query.filter->condition, names);
  if (query.having) collect(query.having->condition, names);
  return names;
}

DbResult<AlgorithmCache> precompute_algorithms(const graph::Graph& graph, const ast::Query& query,
                                               std::span<const Node> nodes) {
  AlgorithmCache cache;
  const AlgorithmSet names = named_algorithms(query);
  if (names.none()) return cache;

  std::unordered_set<Uuid> ids;
  ids.reserve(nodes.size());
  for (const Node& n : nodes) ids.insert(n.id);
  auto node_set = [&] { return GraphView::for_nodes(graph, ids); };
  const GraphView whole = GraphView::whole_graph(graph);

  for (size_t i = 0; i < kAlgorithmCount; ++i) {
    if (!names.test(i)) continue;
    std::optional<DbError> failure;
    switch (static_cast<Algorithm>(i)) {
      case Algorithm::PageRank:
        failure = fill(cache.pagerank, run_on_view<double>(whole, "pagerank join error: {}",
                                                           [](std::vector<Uuid> n, std::vector<EdgeEnds> e) {
                                                             return algorithms::pagerank(n, e, {0.85, 100, 1e-6});
                                                           }));
        break;
      case Algorithm::Degree:
        failure =
            fill(cache.degree,
                 run_on_view<double>(whole, "degree join error: {}", [](std::vector<Uuid> n, std::vector<EdgeEnds> e) {
                   return algorithms::degree(n, e, {false, algorithms::DegreeDirection::Both});
                 }));
        break;
      case Algorithm::Clustering:
        failure = fill(cache.clustering, run_on_view<double>(node_set(), "clustering join error: {}",
                                                             [](std::vector<Uuid> n, std::vector<EdgeEnds> e) {
                                                               return algorithms::clustering(n, e);
                                                             }));
        break;
      case Algorithm::Betweenness:
        failure = fill(cache.betweenness, run_on_view<double>(node_set(), "betweenness join error: {}",
                                                              [](std::vector<Uuid> n, std::vector<EdgeEnds> e) {
                                                                return algorithms::betweenness(n, e, {true});
                                                              }));
        break;
      case Algorithm::Community:
        failure = fill(cache.community, community_reused(graph));
        break;
      case Algorithm::CommunityFast:
        failure = fill(cache.community_fast, compute_community_fast(graph, nodes));
        break;
      case Algorithm::Leiden:
        failure = fill(cache.leiden, algorithms::community::run_leiden(graph));
        break;
    }
    if (failure) return std::unexpected(std::move(*failure));
  }
  return cache;
}

DbResult<NodeMap<uint64_t>> compute_community_fast(const graph::Graph& graph, std::span<const Node> nodes) {
  if (nodes.empty()) return NodeMap<uint64_t>{};
  std::vector<Uuid> ids;
  ids.reserve(nodes.size());
  std::vector<EdgeEnds> links;
  for (const Node& n : nodes) {
    ids.push_back(n.id);
    auto around = graph::get_neighbors(graph, n.id, graph::Direction::Both);
    if (!around) return std::unexpected(std::move(around.error()));
    for (const Uuid& v : *around) links.push_back({n.id, v});
  }
  return label_propagation(ids, links);
}

}  // namespace zudizid::query::zql::executor::aggregations
