// Builds a cosine index over <dir>/data.f32 and searches <dir>/queries.f32,
// sweeping ef; recall@k against <dir>/gt.i32. Prints one JSON object per line.
//
// usage: hnsw_bench_driver <dir> <dim> <threads> <M> <ef_construction> <k> <ef>...
//
// With VANTOR_BENCH_DUMP set, the built index is then dumped to <dir> and
// reloaded in memory and on a memory map, timing each and checking that the
// reloaded indexes give the same hits (one JSON line).
// With VANTOR_BENCH_U8 set, the index is Hnsw<u8, DistL2> over <dir>/data.u8
// and <dir>/queries.u8, recall against <dir>/gt_u8.i32.
#include <fmt/format.h>
#include <tbb/task_arena.h>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "hnsw/api/dump.h"
#include "hnsw/hnsw/hnsw.h"
#include "hnsw/hnswio/reload.h"

namespace {

template <class T>
std::vector<T> read_all(const std::string& path) {
  std::ifstream f(path, std::ios::binary | std::ios::ate);
  if (!f) {
    std::fprintf(stderr, "cannot read %s\n", path.c_str());
    std::exit(2);
  }
  std::streamsize n = f.tellg();
  f.seekg(0);
  std::vector<T> v(static_cast<size_t>(n) / sizeof(T));
  f.read(reinterpret_cast<char*>(v.data()), n);
  return v;
}

long rss_kb() {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return 0;
}

double cpu_now() {
  timespec ts;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

template <class T, class D>
int run(int argc, char** argv, const std::string& suffix) {
  using H = vantor::Hnsw<T, D>;
  std::string dir = argv[1];
  size_t dim = std::stoul(argv[2]);
  int threads = std::stoi(argv[3]);
  uint64_t m = std::stoull(argv[4]);
  uint64_t efc = std::stoull(argv[5]);
  size_t k = std::stoul(argv[6]);
  std::vector<uint64_t> efs;
  for (int i = 7; i < argc; ++i) efs.push_back(std::stoull(argv[i]));

  auto data = read_all<T>(dir + "/data." + suffix);
  auto queries = read_all<T>(dir + "/queries." + suffix);
  auto gt = read_all<int32_t>(dir + (suffix == "u8" ? "/gt_u8.i32" : "/gt.i32"));
  size_t n = data.size() / dim, nq = queries.size() / dim;

  std::vector<typename H::InsertItem> items;
  items.reserve(n);
  for (size_t i = 0; i < n; ++i) items.push_back({std::span<const T>(&data[i * dim], dim), i});
  std::vector<std::span<const T>> qs;
  for (size_t i = 0; i < nq; ++i) qs.push_back(std::span<const T>(&queries[i * dim], dim));

  tbb::task_arena arena(threads);
  long rss0 = rss_kb();
  double t0 = now(), c0 = cpu_now();
  auto h = std::move(*H::create(m, n, 16, efc));
  arena.execute([&] {
    if (threads == 1) {
      for (const auto& it : items) (void)h->insert(it.first, it.second);
    } else {
      (void)h->parallel_insert(items);
    }
  });
  double build = now() - t0, build_cpu = cpu_now() - c0;
  long rss1 = rss_kb();
  std::printf("{\"build_s\": %.3f, \"build_cpu_s\": %.3f, \"mem_mb\": %.1f}\n", build, build_cpu,
              (rss1 - rss0) / 1024.0);
  std::fflush(stdout);

  for (uint64_t ef : efs) {
    std::vector<std::vector<vantor::NeighbourHit>> res(nq);
    double s0 = now(), sc0 = cpu_now();
    arena.execute([&] {
      if (threads == 1) {
        for (size_t i = 0; i < nq; ++i) res[i] = *h->search(qs[i], k, ef);
      } else {
        res = *h->parallel_search(qs, k, ef);
      }
    });
    double dt = now() - s0, dcpu = cpu_now() - sc0;
    size_t found = 0;
    for (size_t i = 0; i < nq; ++i) {
      for (size_t j = 0; j < k; ++j) {
        for (const auto& hit : res[i]) {
          if (hit.d_id == static_cast<uint64_t>(gt[i * k + j])) {
            ++found;
            break;
          }
        }
      }
    }
    std::printf("{\"ef\": %llu, \"recall\": %.4f, \"qps\": %.1f, \"cpu_us_per_query\": %.1f}\n",
                static_cast<unsigned long long>(ef), static_cast<double>(found) / (nq * k), nq / dt,
                dcpu / nq * 1e6);
    std::fflush(stdout);
  }
  if (std::getenv("VANTOR_BENCH_DUMP")) {
    double d0 = now();
    if (!vantor::api::file_dump(*h, dir, "ours")) return 1;
    double dump_s = now() - d0;
    double times[2];
    bool same = true;
    for (int mapped = 0; mapped < 2; ++mapped) {
      vantor::hnswio::HnswIo io;
      io.dir = dir;
      io.basename = "ours";
      io.use_mmap = mapped == 1;
      double r0 = now();
      auto g = vantor::hnswio::load_hnsw<T, D>(io);
      times[mapped] = now() - r0;
      if (!g) return 1;
      for (size_t i = 0; i < nq; ++i) same = same && *(*g)->search(qs[i], k, 120) == *h->search(qs[i], k, 120);
    }
    std::printf("{\"dump_s\": %.3f, \"reload_mem_s\": %.3f, \"reload_mmap_s\": %.3f, \"same_hits\": %s}\n", dump_s,
                times[0], times[1], same ? "true" : "false");
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 8) {
    std::fprintf(stderr, "usage: %s dir dim threads M ef_construction k ef...\n", argv[0]);
    return 2;
  }
  if (std::getenv("VANTOR_BENCH_U8")) return run<vantor::dist::u8, vantor::dist::DistL2>(argc, argv, "u8");
  return run<float, vantor::dist::DistCosine>(argc, argv, "f32");
}
