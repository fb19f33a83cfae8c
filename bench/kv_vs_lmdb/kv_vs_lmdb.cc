// Kelm against LMDB in one run: point puts, point gets and a full scan of N
// keys (41-byte keys, ~200-byte values, random insertion order).
//
// Unsynced rows: Kelm runs a temporary database, whose log is never synced
// (and on the in-process stand-in log nothing is written at all), LMDB runs
// with MDB_NOSYNC. Every put is its own write (LMDB: one write transaction
// per put); every get is its own read (LMDB: a reset/renewed read
// transaction per get).
//
// Durable rows: batches of B puts, each made durable before the next starts.
// Kelm runs a database on disk and applies each batch with apply_batch, then
// flushes (waits until the log is stable up to the batch); LMDB runs with its
// default sync and commits one write transaction per batch (fsync at commit).
// Each row writes min(N / B, 2000) batches.
//
//   kv_vs_lmdb [N]        default N = 1000000
#include <lmdb.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "kv/config/config.h"
#include "kv/db.h"

namespace {

using Clock = std::chrono::steady_clock;

double secs(Clock::time_point a) { return std::chrono::duration<double>(Clock::now() - a).count(); }

std::string make_key(std::mt19937_64& rng) {
  static const char* hex = "0123456789abcdef";
  std::string k = "node:";
  for (int i = 0; i < 36; ++i) k += (i == 8 || i == 13 || i == 18 || i == 23) ? '-' : hex[rng() % 16];
  return k;  // 41 bytes
}

void check(int rc, const char* what) {
  if (rc != 0) {
    std::fprintf(stderr, "%s: %s\n", what, mdb_strerror(rc));
    std::exit(1);
  }
}

struct Result {
  double put, get, scan;
};

Result run_kelm(const std::vector<std::string>& keys, const std::string& value, const std::filesystem::path& dir) {
  kelm::config::Config cfg;
  cfg.path(dir).temporary(true);
  auto db = cfg.open();
  if (!db) {
    std::fprintf(stderr, "kelm open: %s\n", db.error().display().c_str());
    std::exit(1);
  }
  auto tree = *db->open_tree("bench");
  Result r{};
  auto t0 = Clock::now();
  for (const auto& k : keys) {
    if (!tree.insert(k, value)) std::exit(1);
  }
  r.put = secs(t0);
  std::vector<size_t> order(keys.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937_64(7));
  t0 = Clock::now();
  size_t found = 0;
  for (size_t i : order) found += (*tree.get(keys[i])).has_value();
  r.get = secs(t0);
  t0 = Clock::now();
  size_t scanned = 0, bytes = 0;
  auto it = tree.iter();
  while (auto item = it.next()) {
    ++scanned;
    bytes += (*item)->second.size();
  }
  r.scan = secs(t0);
  if (found != keys.size() || scanned != keys.size()) {
    std::fprintf(stderr, "kelm: found %zu scanned %zu of %zu\n", found, scanned, keys.size());
    std::exit(1);
  }
  return r;
}

Result run_lmdb(const std::vector<std::string>& keys, const std::string& value, const std::filesystem::path& dir) {
  std::filesystem::create_directories(dir);
  MDB_env* env;
  check(mdb_env_create(&env), "env_create");
  check(mdb_env_set_mapsize(env, size_t(8) << 30), "mapsize");
  check(mdb_env_open(env, dir.c_str(), MDB_NOSYNC, 0644), "env_open");
  MDB_dbi dbi;
  MDB_txn* txn;
  check(mdb_txn_begin(env, nullptr, 0, &txn), "txn");
  check(mdb_dbi_open(txn, nullptr, 0, &dbi), "dbi");
  check(mdb_txn_commit(txn), "commit");
  Result r{};
  auto t0 = Clock::now();
  for (const auto& k : keys) {
    check(mdb_txn_begin(env, nullptr, 0, &txn), "txn");
    MDB_val mk{k.size(), const_cast<char*>(k.data())};
    MDB_val mv{value.size(), const_cast<char*>(value.data())};
    check(mdb_put(txn, dbi, &mk, &mv, 0), "put");
    check(mdb_txn_commit(txn), "commit");
  }
  r.put = secs(t0);
  std::vector<size_t> order(keys.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::shuffle(order.begin(), order.end(), std::mt19937_64(7));
  check(mdb_txn_begin(env, nullptr, MDB_RDONLY, &txn), "rtxn");
  mdb_txn_reset(txn);
  t0 = Clock::now();
  size_t found = 0;
  for (size_t i : order) {
    check(mdb_txn_renew(txn), "renew");
    MDB_val mk{keys[i].size(), const_cast<char*>(keys[i].data())};
    MDB_val mv;
    found += mdb_get(txn, dbi, &mk, &mv) == 0;
    mdb_txn_reset(txn);
  }
  r.get = secs(t0);
  t0 = Clock::now();
  check(mdb_txn_renew(txn), "renew");
  MDB_cursor* cur;
  check(mdb_cursor_open(txn, dbi, &cur), "cursor");
  MDB_val mk, mv;
  size_t scanned = 0, bytes = 0;
  for (int rc = mdb_cursor_get(cur, &mk, &mv, MDB_FIRST); rc == 0; rc = mdb_cursor_get(cur, &mk, &mv, MDB_NEXT)) {
    ++scanned;
    bytes += mv.mv_size;
  }
  r.scan = secs(t0);
  mdb_cursor_close(cur);
  mdb_txn_abort(txn);
  mdb_env_close(env);
  if (found != keys.size() || scanned != keys.size()) {
    std::fprintf(stderr, "lmdb: found %zu scanned %zu\n", found, scanned);
    std::exit(1);
  }
  return r;
}

// Durable batches: seconds for `rounds` batches of `batch` puts each.
double durable_kelm(const std::vector<std::string>& keys, const std::string& value, size_t batch, size_t rounds,
                    const std::filesystem::path& dir) {
  kelm::config::Config cfg;
  cfg.path(dir);
  auto db = cfg.open();
  if (!db) {
    std::fprintf(stderr, "kelm open: %s\n", db.error().display().c_str());
    std::exit(1);
  }
  auto tree = *db->open_tree("bench");
  auto t0 = Clock::now();
  for (size_t r = 0; r < rounds; ++r) {
    kelm::Batch b;
    for (size_t i = r * batch; i < (r + 1) * batch; ++i) b.insert(keys[i], value);
    if (!tree.apply_batch(std::move(b))) std::exit(1);
    if (auto f = db->flush(); !f) {
      std::fprintf(stderr, "kelm flush: %s\n", f.error().display().c_str());
      std::exit(1);
    }
  }
  double t = secs(t0);
  size_t missing = 0;
  for (size_t i = 0; i < rounds * batch; i += std::max<size_t>(1, batch / 7)) missing += !(*tree.get(keys[i]));
  if (missing != 0) {
    std::fprintf(stderr, "kelm durable: %zu keys missing\n", missing);
    std::exit(1);
  }
  return t;
}

double durable_lmdb(const std::vector<std::string>& keys, const std::string& value, size_t batch, size_t rounds,
                    const std::filesystem::path& dir) {
  std::filesystem::create_directories(dir);
  MDB_env* env;
  check(mdb_env_create(&env), "env_create");
  check(mdb_env_set_mapsize(env, size_t(8) << 30), "mapsize");
  check(mdb_env_open(env, dir.c_str(), 0, 0644), "env_open");
  MDB_dbi dbi;
  MDB_txn* txn;
  check(mdb_txn_begin(env, nullptr, 0, &txn), "txn");
  check(mdb_dbi_open(txn, nullptr, 0, &dbi), "dbi");
  check(mdb_txn_commit(txn), "commit");
  auto t0 = Clock::now();
  for (size_t r = 0; r < rounds; ++r) {
    check(mdb_txn_begin(env, nullptr, 0, &txn), "txn");
    for (size_t i = r * batch; i < (r + 1) * batch; ++i) {
      MDB_val mk{keys[i].size(), const_cast<char*>(keys[i].data())};
      MDB_val mv{value.size(), const_cast<char*>(value.data())};
      check(mdb_put(txn, dbi, &mk, &mv, 0), "put");
    }
    check(mdb_txn_commit(txn), "commit");
  }
  double t = secs(t0);
  mdb_env_close(env);
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  size_t n = argc > 1 ? std::stoull(argv[1]) : 1000000;
  std::mt19937_64 rng(42);
  std::vector<std::string> keys;
  keys.reserve(n);
  for (size_t i = 0; i < n; ++i) keys.push_back(make_key(rng));
  std::string value(200, 'v');
  for (auto& c : value) c = static_cast<char>('a' + rng() % 26);
  auto base = std::filesystem::temp_directory_path() / ("kv_vs_lmdb." + std::to_string(getpid()));
  std::filesystem::remove_all(base);
  Result k = run_kelm(keys, value, base / "kelm");
  Result l = run_lmdb(keys, value, base / "lmdb");
  std::filesystem::remove_all(base);

  struct Durable {
    size_t batch, rounds;
    double kelm, lmdb;
  };
  std::vector<Durable> durable;
  for (size_t batch : {size_t{1}, size_t{100}, size_t{10000}}) {
    if (batch > n) continue;
    size_t rounds = std::min<size_t>(n / batch, 2000);
    std::filesystem::path d = base / ("durable-" + std::to_string(batch));
    double kt = durable_kelm(keys, value, batch, rounds, d / "kelm");
    double lt = durable_lmdb(keys, value, batch, rounds, d / "lmdb");
    std::filesystem::remove_all(base);
    durable.push_back({batch, rounds, kt, lt});
  }

  std::printf("kv_vs_lmdb: %zu keys, 41-byte keys, 200-byte values (kelm: temporary, unsynced log; lmdb: MDB_NOSYNC)\n", n);
  std::printf("%-6s %14s %14s %10s\n", "op", "kelm ops/s", "lmdb ops/s", "kelm/lmdb");
  auto row = [&](const char* name, double kt, double lt) {
    double ko = n / kt, lo = n / lt;
    std::printf("%-6s %14.0f %14.0f %10.3f\n", name, ko, lo, ko / lo);
  };
  row("put", k.put, l.put);
  row("get", k.get, l.get);
  row("scan", k.scan, l.scan);
  std::printf("\ndurable batches (kelm: on disk, apply_batch + flush per batch; lmdb: default sync, one commit per "
              "batch)\n");
  std::printf("%-8s %8s %14s %14s %14s %14s %10s\n", "batch", "batches", "kelm puts/s", "lmdb puts/s",
              "kelm batch ms", "lmdb batch ms", "kelm/lmdb");
  for (const Durable& d : durable) {
    double puts = static_cast<double>(d.batch * d.rounds);
    std::printf("%-8zu %8zu %14.0f %14.0f %14.3f %14.3f %10.3f\n", d.batch, d.rounds, puts / d.kelm, puts / d.lmdb,
                1e3 * d.kelm / d.rounds, 1e3 * d.lmdb / d.rounds, d.lmdb / d.kelm);
  }
  return 0;
}
