// algorithms_bench <work dir> [reuse]
//
// Our side of run.py's comparison. Reads the two edge lists run.py wrote
// (pagerank.edges, betweenness.edges: u64 node count, u64 edge count, then
// u32 source/target pairs, little-endian), bulk-loads the first into a fresh
// database under <work dir>/db and prints, as one JSON object, wall and CPU
// seconds of: the bulk load; PageRank through the query runner (graph view +
// computation, as a query runs it), first right after the load and then
// again; the view's reads (and of them the node list) and the computation
// alone; betweenness
// (normalised) computed on the second list. With "reuse", a database left
// by an earlier run is opened instead of loaded again ("load" is then 0).
#include <fmt/format.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "algorithms/betweenness/betweenness.h"
#include "algorithms/pagerank/pagerank.h"
#include "bench/phase_timer.h"
#include "graph/bulk_load.h"
#include "graph/open.h"
#include "graph/view/graph_view.h"
#include "query/zql/executor/aggregations/precompute.h"
#include "query/zql/parser/build_statement.h"

namespace fs = std::filesystem;
namespace alg = zudizid::algorithms;
using zudizid::Edge;
using zudizid::Node;
using zudizid::NodeKind;

namespace {

// {"wall": s, "cpu": s} of a phase that ends now.
std::string phase(zudizid::bench::Timer t) {
  t.stop();
  return fmt::format("{{\"wall\": {:.3f}, \"cpu\": {:.3f}}}", t.wall, t.cpu);
}

struct EdgeList {
  uint64_t nodes = 0;
  std::vector<uint32_t> ends;  // source, target, source, target, ...
};

bool read_edges(const fs::path& path, EdgeList& out) {
  std::ifstream in(path, std::ios::binary);
  uint64_t m = 0;
  if (!in.read(reinterpret_cast<char*>(&out.nodes), 8) || !in.read(reinterpret_cast<char*>(&m), 8)) return false;
  if (m > (uint64_t{1} << 32) || out.nodes > UINT32_MAX) return false;
  out.ends.resize(2 * m);
  if (!in.read(reinterpret_cast<char*>(out.ends.data()), static_cast<std::streamsize>(8 * m))) return false;
  for (uint32_t v : out.ends) {
    if (v >= out.nodes) return false;
  }
  return true;
}

alg::Uuid node_id(uint64_t k) {
  alg::Uuid::Bytes b{};
  b[0] = 0x17;
  for (int i = 0; i < 8; ++i) b[15 - i] = static_cast<uint8_t>(k >> (8 * i));
  return alg::Uuid(b);
}

alg::Uuid edge_id(uint64_t k) {
  alg::Uuid::Bytes b{};
  b[0] = 0xe5;
  for (int i = 0; i < 8; ++i) b[15 - i] = static_cast<uint8_t>(k >> (8 * i));
  return alg::Uuid(b);
}

int fail(const std::string& what) {
  std::fprintf(stderr, "%s\n", what.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 3 || (argc == 3 && std::string_view(argv[2]) != "reuse")) {
    return fail("usage: algorithms_bench <work dir> [reuse]");
  }
  const bool reuse = argc == 3 && fs::exists(fs::path(argv[1]) / "db");
  const fs::path work = argv[1];
  EdgeList big, small;
  if (!read_edges(work / "pagerank.edges", big) || !read_edges(work / "betweenness.edges", small)) {
    return fail("cannot read the edge lists");
  }
  std::string out = "{";

  if (!reuse) fs::remove_all(work / "db");
  auto g = zudizid::graph::open_graph(work / "db", zudizid::graph::Profile::Default);
  if (!g) return fail(g.error().display());
  if (reuse) {
    out += "\"load\": {\"wall\": 0, \"cpu\": 0}, ";
  } else {
    zudizid::bench::Timer load;
    zudizid::graph::BulkLoader loader(*g, 100000);
    for (uint64_t k = 0; k < big.nodes; ++k) {
      if (loader.add_node(Node{node_id(k), "V", {}, NodeKind::Individual}) && !loader.flush_nodes()) {
        return fail("node flush");
      }
    }
    if (!loader.flush_nodes()) return fail("node flush");
    for (uint64_t e = 0; e < big.ends.size() / 2; ++e) {
      Edge edge{edge_id(e), node_id(big.ends[2 * e]), node_id(big.ends[2 * e + 1]), "E", {}};
      if (loader.add_edge(std::move(edge)) && !loader.flush_edges()) return fail("edge flush");
    }
    if (!loader.finish()) return fail("finish");
    out += fmt::format("\"load\": {}, ", phase(load));
  }

  {
    // As a query runs it: first right after the load, then again.
    auto query = zudizid::query::zql::parser::parse_statement("FIND pagerank(n) FROM (n)");
    if (!query) return fail(query.error().display());
    const auto& find = std::get<zudizid::query::zql::ast::Query>(query->node);
    for (const char* run : {"pagerank_runner_first", "pagerank_runner_again"}) {
      zudizid::bench::Timer runner;
      auto cache = zudizid::query::zql::executor::aggregations::precompute_algorithms(*g, find, {});
      if (!cache) return fail(cache.error().display());
      if (cache->pagerank->size() != big.nodes) return fail("pagerank: wrong node count");
      out += fmt::format("\"{}\": {}, ", run, phase(runner));
    }
  }
  {
    zudizid::bench::Timer view_time, node_time;
    auto view = zudizid::graph::GraphView::whole_graph(*g);
    auto nodes = view.nodes();
    out += fmt::format("\"pagerank_view_nodes\": {}, ", phase(node_time));
    auto edges = view.edges();
    if (!nodes || !edges) return fail("view");
    out += fmt::format("\"pagerank_view\": {}, ", phase(view_time));
    zudizid::bench::Timer compute;
    auto ranks = alg::pagerank(*nodes, *edges, {0.85, 100, 1e-6});
    out += fmt::format("\"pagerank_compute\": {}, ", phase(compute));
  }
  {
    std::vector<alg::Uuid> nodes;
    for (uint64_t k = 0; k < small.nodes; ++k) nodes.push_back(node_id(k));
    std::vector<alg::EdgeEnds> edges;
    for (size_t i = 0; i < small.ends.size(); i += 2) edges.push_back({nodes[small.ends[i]], nodes[small.ends[i + 1]]});
    zudizid::bench::Timer compute;
    auto scores = alg::betweenness(nodes, edges, {true});
    out += fmt::format("\"betweenness_compute\": {}", phase(compute));
  }
  out += "}\n";
  std::fputs(out.c_str(), stdout);
  return 0;
}
