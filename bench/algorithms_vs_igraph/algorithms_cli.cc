// Prints our scores for one algorithm as JSON, for comparison with networkx
// and igraph (tests/python/test_algorithms_vs_peers.py).
//
//   algorithms_cli <algorithm> [source] < graph
//
// The graph on stdin: the node count n, then one "u v" line per directed
// edge, nodes numbered 0..n-1. Algorithms: pagerank, degree, clustering,
// betweenness, community, community_fast, leiden (settings as the query
// runner uses them), and shortest_path, which needs a source and prints the
// hop count to every node (-1 when unreachable). Output: {"scores": [...]}
// by node number.
#include <fmt/format.h>

#include <cstdio>
#include <iostream>
#include <string>
#include <string_view>
#include <vector>

#include "algorithms/betweenness/betweenness.h"
#include "algorithms/clustering/clustering.h"
#include "algorithms/community/community.h"
#include "algorithms/community/leiden.h"
#include "algorithms/degree/degree.h"
#include "algorithms/pagerank/pagerank.h"
#include "algorithms/shortest_path/shortest_path_search.h"
#include "query/zql/executor/aggregations/label_propagation.h"

namespace alg = zudizid::algorithms;

namespace {

// Node k's id: its number big-endian in the last 8 bytes, so id order is
// number order.
alg::Uuid node_id(uint64_t k) {
  alg::Uuid::Bytes b{};
  b[0] = 0x17;
  for (int i = 0; i < 8; ++i) b[15 - i] = static_cast<uint8_t>(k >> (8 * i));
  return alg::Uuid(b);
}

template <class T>
void print_scores(const std::vector<alg::Uuid>& nodes, const alg::NodeMap<T>& scores) {
  std::string out = "{\"scores\": [";
  for (size_t k = 0; k < nodes.size(); ++k) {
    if (k) out += ", ";
    const T* v = scores.find(nodes[k]);
    out += v ? fmt::format("{}", *v) : "null";
  }
  out += "]}\n";
  std::fputs(out.c_str(), stdout);
}

int usage() {
  std::fputs("usage: algorithms_cli <algorithm> [source] < graph\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string_view name = argv[1];
  uint64_t n = 0;
  if (!(std::cin >> n)) return usage();
  std::vector<alg::Uuid> nodes;
  for (uint64_t k = 0; k < n; ++k) nodes.push_back(node_id(k));
  std::vector<alg::EdgeEnds> edges;
  for (uint64_t u, v; std::cin >> u >> v;) {
    if (u >= n || v >= n) {
      std::fprintf(stderr, "edge %llu %llu names no node\n", static_cast<unsigned long long>(u),
                   static_cast<unsigned long long>(v));
      return 2;
    }
    edges.push_back({nodes[u], nodes[v]});
  }

  if (name == "pagerank") {
    print_scores(nodes, alg::pagerank(nodes, edges, {0.85, 100, 1e-6}));
  } else if (name == "degree") {
    print_scores(nodes, alg::degree(nodes, edges, {false, alg::DegreeDirection::Both}));
  } else if (name == "clustering") {
    print_scores(nodes, alg::clustering(nodes, edges));
  } else if (name == "betweenness") {
    print_scores(nodes, alg::betweenness(nodes, edges, {true}));
  } else if (name == "community") {
    print_scores(nodes, alg::community::detect_communities(nodes, edges, {}));
  } else if (name == "community_fast") {
    print_scores(nodes, zudizid::query::zql::executor::aggregations::label_propagation(nodes, edges));
  } else if (name == "leiden") {
    print_scores(nodes, alg::community::LeidenCommunity{}.detect(nodes, edges));
  } else if (name == "shortest_path" && argc == 3) {
    const uint64_t source = std::stoull(argv[2]);
    if (source >= n) return usage();
    alg::NodeMap<double> hops;
    hops.keys = alg::IdIndex::of(nodes);
    for (const alg::Uuid& target : nodes) {
      auto found = alg::shortest_path_search(edges, nodes[source], target);
      hops.values.push_back(found ? found->distance : -1.0);
    }
    print_scores(nodes, hops);
  } else {
    return usage();
  }
  return 0;
}
