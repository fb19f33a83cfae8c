// commit_vs_sqlite [seconds per run]
//
// Each committing thread repeatedly commits one transaction that writes one
// node with two properties. ZudizID commits go through the write applier
// (group commit: one log write and one fsync per batch of up to 16). The
// peer is SQLite in WAL mode with synchronous=FULL, one connection per
// thread, one INSERT OR REPLACE per transaction (busy waits retried).
// Prints commits/s for both and the ratio ours / SQLite.
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "graph/graph.h"
#include "transaction/transaction.h"

namespace {

using namespace zudizid;
using Clock = std::chrono::steady_clock;

std::filesystem::path fresh_dir(const char* tag) {
  auto p = std::filesystem::temp_directory_path() /
           (std::string("zudizid-bench-") + tag + "-" + std::to_string(::getpid()) + "-" +
            std::to_string(std::random_device{}()));
  std::filesystem::create_directories(p);
  return p;
}

template <class Body>
double run_threads(int threads, double seconds, Body body) {
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> done{0};
  std::vector<std::thread> ts;
  auto start = Clock::now();
  for (int t = 0; t < threads; ++t) {
    ts.emplace_back([&, t] {
      uint64_t n = 0;
      while (!stop.load(std::memory_order_relaxed)) {
        if (body(t, n)) ++n;
      }
      done.fetch_add(n);
    });
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  stop = true;
  for (auto& t : ts) t.join();
  double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  return static_cast<double>(done.load()) / elapsed;
}

double bench_zudizid(int threads, double seconds) {
  auto dir = fresh_dir("zudizid");
  auto db = kelm::config::Config().temporary(true).flush_every_ms(std::nullopt).open();
  auto wal = wal::Wal::open(dir / "zovov.wal");
  if (!db || !wal) {
    std::fprintf(stderr, "open failed\n");
    std::exit(1);
  }
  graph::GraphParts parts;
  parts.storage = std::make_shared<storage::Storage>(std::move(*db));
  parts.wal = std::shared_ptr<wal::Wal>(std::move(*wal));
  auto host = std::make_shared<graph::Graph>(graph::Graph::build(std::move(parts)));
  double rate = run_threads(threads, seconds, [&](int t, uint64_t n) {
    auto tx = transaction::Transaction::begin(host);
    Uuid::Bytes b{};
    b[0] = static_cast<uint8_t>(t);
    for (int k = 0; k < 8; ++k) b[8 + k] = static_cast<uint8_t>(n >> (8 * k));
    PropertyMap props{{"n", PropertyValue::integer(static_cast<int64_t>(n))}, {"name", PropertyValue::string("x")}};
    (void)tx->add_node(Node{Uuid(b), "Item", std::move(props), NodeKind::Individual});
    return static_cast<bool>(transaction::Transaction::commit(std::move(tx)));
  });
  host.reset();
  std::filesystem::remove_all(dir);
  return rate;
}

double bench_sqlite(int threads, double seconds) {
  auto dir = fresh_dir("sqlite");
  const std::string path = (dir / "bench.db").string();
  sqlite3* setup = nullptr;
  sqlite3_open(path.c_str(), &setup);
  sqlite3_exec(setup, "PRAGMA journal_mode=WAL; CREATE TABLE nodes(id BLOB PRIMARY KEY, label TEXT, n INTEGER, name TEXT);",
               nullptr, nullptr, nullptr);
  sqlite3_close(setup);
  std::vector<sqlite3*> conns(threads);
  std::vector<sqlite3_stmt*> stmts(threads);
  for (int t = 0; t < threads; ++t) {
    sqlite3_open(path.c_str(), &conns[t]);
    sqlite3_busy_timeout(conns[t], 10000);
    sqlite3_exec(conns[t], "PRAGMA synchronous=FULL;", nullptr, nullptr, nullptr);
    sqlite3_prepare_v2(conns[t], "INSERT OR REPLACE INTO nodes VALUES(?1, 'Item', ?2, 'x')", -1, &stmts[t], nullptr);
  }
  double rate = run_threads(threads, seconds, [&](int t, uint64_t n) {
    unsigned char id[16] = {};
    id[0] = static_cast<unsigned char>(t);
    for (int k = 0; k < 8; ++k) id[8 + k] = static_cast<unsigned char>(n >> (8 * k));
    sqlite3_stmt* s = stmts[t];
    sqlite3_bind_blob(s, 1, id, 16, SQLITE_TRANSIENT);
    sqlite3_bind_int64(s, 2, static_cast<sqlite3_int64>(n));
    int rc = sqlite3_step(s);  // autocommit: one transaction per statement
    sqlite3_reset(s);
    return rc == SQLITE_DONE;
  });
  for (int t = 0; t < threads; ++t) {
    sqlite3_finalize(stmts[t]);
    sqlite3_close(conns[t]);
  }
  std::filesystem::remove_all(dir);
  return rate;
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
  std::printf("%-8s %16s %16s %8s\n", "threads", "zudizid c/s", "sqlite c/s", "ratio");
  for (int threads : {1, 4, 8}) {
    double ours = bench_zudizid(threads, seconds);
    double peer = bench_sqlite(threads, seconds);
    std::printf("%-8d %16.1f %16.1f %8.2f\n", threads, ours, peer, peer > 0 ? ours / peer : 0.0);
  }
  return 0;
}
