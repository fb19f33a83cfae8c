// graph_load_vs_sqlite [nodes [edges [reads]]]   (defaults 1000000 2000000 100000)
//
// Loads the same random graph into ZudizID with the bulk loader and into
// SQLite (executemany-style prepared inserts, one transaction per batch,
// synchronous=OFF, indexes on edge source and target), then reads the
// outgoing neighbours of random nodes in both. Prints absolute figures and
// the ratios ours / SQLite (below 1 means ZudizID is faster). Each phase is
// timed by the wall clock and by the process's CPU time (all threads); the
// latter is the steadier figure on a shared machine.
#include <sqlite3.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench/phase_timer.h"
#include "graph/bulk_load.h"
#include "graph/open.h"

namespace fs = std::filesystem;
using zudizid::Edge;
using zudizid::Node;
using zudizid::NodeKind;
using zudizid::PropertyValue;
using zudizid::common::Uuid;

namespace {

using zudizid::bench::Timer;

void report(const char* what, const Timer& ours, const Timer& peer) {
  std::printf("%-11s zudizid %8.3f s (cpu %8.3f s)  sqlite %8.3f s (cpu %8.3f s)  ratio %.2f (cpu %.2f)\n", what,
              ours.wall, ours.cpu, peer.wall, peer.cpu, ours.wall / peer.wall, ours.cpu / peer.cpu);
}

void check(int rc, sqlite3* db, const char* what) {
  if (rc != SQLITE_OK && rc != SQLITE_DONE && rc != SQLITE_ROW) {
    std::fprintf(stderr, "sqlite %s: %s\n", what, sqlite3_errmsg(db));
    std::exit(1);
  }
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n_nodes = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  const std::size_t n_edges = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 2000000;
  const std::size_t n_reads = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 100000;
  constexpr std::size_t kBatch = 100000;

  std::mt19937_64 rng(42);
  std::vector<Uuid> ids(n_nodes);
  for (auto& id : ids) id = Uuid::new_v4();
  std::uniform_int_distribution<std::size_t> pick(0, n_nodes - 1);
  struct E {
    Uuid id;
    std::size_t src, dst;
  };
  std::vector<E> edges(n_edges);
  for (auto& e : edges) e = {Uuid::new_v4(), pick(rng), pick(rng)};
  std::vector<std::size_t> probes(n_reads);
  for (auto& p : probes) p = pick(rng);

  fs::path root = fs::temp_directory_path() / ("graph_load_vs_sqlite-" + std::to_string(::getpid()));
  fs::remove_all(root);
  fs::create_directories(root);

  // ---- ZudizID
  Timer ours_load, ours_read;
  std::size_t ours_seen = 0;
  {
    auto g = zudizid::graph::open_graph(root / "zudizid", zudizid::graph::Profile::Default);
    if (!g) {
      std::fprintf(stderr, "open: %s\n", g.error().display().c_str());
      return 1;
    }
    ours_load = Timer();
    {
      zudizid::graph::BulkLoader loader(*g, kBatch);
      for (std::size_t i = 0; i < n_nodes; ++i) {
        Node n{ids[i], "Person", {{"i", PropertyValue::integer(static_cast<std::int64_t>(i))}}, NodeKind::Individual};
        if (loader.add_node(std::move(n)) && !loader.flush_nodes()) return 1;
      }
      if (!loader.flush_nodes()) return 1;
      for (const E& e : edges) {
        if (loader.add_edge(Edge{e.id, ids[e.src], ids[e.dst], "KNOWS", {}}) && !loader.flush_edges()) return 1;
      }
      if (!loader.finish()) return 1;
    }
    ours_load.stop();
    ours_read = Timer();
    for (std::size_t p : probes) {
      auto out = g->get_outgoing_edges(ids[p]);
      if (!out) return 1;
      ours_seen += out->size();
    }
    ours_read.stop();
  }

  // ---- SQLite
  Timer peer_load, peer_read;
  std::size_t peer_seen = 0;
  {
    sqlite3* db = nullptr;
    check(sqlite3_open((root / "peer.sqlite").c_str(), &db), db, "open");
    check(sqlite3_exec(db,
                       "PRAGMA synchronous=OFF;"
                       "CREATE TABLE nodes(id BLOB PRIMARY KEY, label TEXT, i INTEGER);"
                       "CREATE TABLE edges(id BLOB PRIMARY KEY, src BLOB, dst BLOB, type TEXT);"
                       "CREATE INDEX edges_src ON edges(src);"
                       "CREATE INDEX edges_dst ON edges(dst);",
                       nullptr, nullptr, nullptr),
          db, "schema");
    peer_load = Timer();
    sqlite3_stmt* ins_node = nullptr;
    sqlite3_stmt* ins_edge = nullptr;
    check(sqlite3_prepare_v2(db, "INSERT INTO nodes VALUES(?,?,?)", -1, &ins_node, nullptr), db, "prepare");
    check(sqlite3_prepare_v2(db, "INSERT INTO edges VALUES(?,?,?,?)", -1, &ins_edge, nullptr), db, "prepare");
    auto batch = [&](std::size_t count, auto&& bind_one) {
      for (std::size_t start = 0; start < count; start += kBatch) {
        check(sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr), db, "begin");
        for (std::size_t i = start; i < std::min(count, start + kBatch); ++i) bind_one(i);
        check(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr), db, "commit");
      }
    };
    batch(n_nodes, [&](std::size_t i) {
      sqlite3_bind_blob(ins_node, 1, ids[i].bytes().data(), 16, SQLITE_STATIC);
      sqlite3_bind_text(ins_node, 2, "Person", -1, SQLITE_STATIC);
      sqlite3_bind_int64(ins_node, 3, static_cast<sqlite3_int64>(i));
      check(sqlite3_step(ins_node), db, "insert node");
      sqlite3_reset(ins_node);
    });
    batch(n_edges, [&](std::size_t i) {
      const E& e = edges[i];
      sqlite3_bind_blob(ins_edge, 1, e.id.bytes().data(), 16, SQLITE_STATIC);
      sqlite3_bind_blob(ins_edge, 2, ids[e.src].bytes().data(), 16, SQLITE_STATIC);
      sqlite3_bind_blob(ins_edge, 3, ids[e.dst].bytes().data(), 16, SQLITE_STATIC);
      sqlite3_bind_text(ins_edge, 4, "KNOWS", -1, SQLITE_STATIC);
      check(sqlite3_step(ins_edge), db, "insert edge");
      sqlite3_reset(ins_edge);
    });
    peer_load.stop();
    sqlite3_stmt* q = nullptr;
    check(sqlite3_prepare_v2(db, "SELECT id, dst, type FROM edges WHERE src=?", -1, &q, nullptr), db, "prepare");
    peer_read = Timer();
    for (std::size_t p : probes) {
      sqlite3_bind_blob(q, 1, ids[p].bytes().data(), 16, SQLITE_STATIC);
      while (sqlite3_step(q) == SQLITE_ROW) ++peer_seen;
      sqlite3_reset(q);
    }
    peer_read.stop();
    sqlite3_finalize(q);
    sqlite3_finalize(ins_node);
    sqlite3_finalize(ins_edge);
    sqlite3_close(db);
  }
  fs::remove_all(root);

  if (ours_seen != peer_seen) std::fprintf(stderr, "neighbour counts differ: %zu vs %zu\n", ours_seen, peer_seen);
  std::printf("graph: %zu nodes, %zu edges; %zu 1-hop reads (%zu neighbours)\n", n_nodes, n_edges, n_reads,
              ours_seen);
  report("bulk load", ours_load, peer_load);
  report("1-hop reads", ours_read, peer_read);
  return ours_seen == peer_seen ? 0 : 1;
}
