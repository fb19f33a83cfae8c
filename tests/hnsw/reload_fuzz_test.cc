// Reloading damaged dumps: every truncation of a small dump, random bit
// flips and random 8-byte counts. Each mutant gives an error or a working
// index (searchable, and taking inserts), never a crash; memory stays
// bounded. ZUDIZID_FUZZ_MUTANTS sets the number of random mutants.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "hnsw/api/dump.h"
#include "hnsw/hnswio/reload.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;
using H = Hnsw<dist::u8, dist::DistL2>;
using Bytes = std::string;

Bytes read_file(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}
void write_file(const fs::path& p, const Bytes& b) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(b.data(), static_cast<std::streamsize>(b.size()));
}

class ReloadFuzz : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::path base = fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
    dir_ = base / ("vantor-fuzz-" + std::to_string(::getpid()));
    fs::create_directories(dir_);
    auto h = std::move(*H::create(4, 16, 16, 16));
    std::mt19937 rng(1);
    for (int i = 0; i < 16; ++i) {
      std::vector<dist::u8> v = {static_cast<dist::u8>(rng()), static_cast<dist::u8>(rng()), static_cast<dist::u8>(rng())};
      ASSERT_TRUE(h->insert(v, i).has_value());
    }
    ASSERT_TRUE(api::file_dump(*h, dir_.string(), "src").has_value());
    graph_ = read_file(dir_ / "src.hnsw.graph");
    data_ = read_file(dir_ / "src.hnsw.data");
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Reloads the mutant; a reloaded index must answer and take a point.
  void try_reload(const Bytes& graph, const Bytes& data, uint64_t variant) {
    write_file(dir_ / "m.hnsw.graph", graph);
    write_file(dir_ / "m.hnsw.data", data);
    hnswio::HnswIo io;
    io.dir = dir_.string();
    io.basename = "m";
    io.use_mmap = variant % 3 != 0;
    io.nb_points_in_memory = variant % 3 == 2 ? 5 : 0;
    if (variant % 7 == 0) {
      auto g = hnswio::load_hnsw<dist::NoData, dist::NoDist>(io);
      if (g) (void)(*g)->search(std::vector<dist::NoData>(3), 2, 4);
      return;
    }
    auto r = hnswio::load_hnsw<dist::u8, dist::DistL2>(io);
    if (!r) return;
    ++loaded_;
    H& h = **r;
    std::vector<dist::u8> q = {1, 2, 3};
    auto hits = h.search(q, 3, 16);
    if (h.dimension() == 3) {
      ASSERT_TRUE(hits.has_value());
      ASSERT_TRUE(h.insert(q, 99).has_value());
      ASSERT_TRUE(h.search(q, 3, 16).has_value());
    }
  }

  fs::path dir_;
  Bytes graph_, data_;
  uint64_t loaded_ = 0;
};

TEST_F(ReloadFuzz, EveryTruncationFailsCleanly) {
  for (size_t n = 0; n < graph_.size(); ++n) try_reload(graph_.substr(0, n), data_, n);
  for (size_t n = 0; n < data_.size(); ++n) try_reload(graph_, data_.substr(0, n), n);
  try_reload(graph_, data_, 1);
  EXPECT_GE(loaded_, 1u);  // the intact dump, and cuts after the entry point's last byte only
}

TEST_F(ReloadFuzz, BitFlipsAndRandomCounts) {
  const char* env = std::getenv("ZUDIZID_FUZZ_MUTANTS");
#ifdef ZUDIZID_SANITIZED
  constexpr uint64_t kDefaultMutants = 2000;  // each reload is slow under the sanitizers
#else
  constexpr uint64_t kDefaultMutants = 20000;
#endif
  const uint64_t mutants = env ? std::strtoull(env, nullptr, 10) : kDefaultMutants;
  std::mt19937_64 rng(42);
  for (uint64_t i = 0; i < mutants; ++i) {
    Bytes g = graph_, d = data_;
    Bytes& target = rng() % 4 == 0 ? d : g;
    switch (rng() % 3) {
      case 0:  // a few bit flips
        for (int k = 1 + rng() % 3; k-- > 0;) target[rng() % target.size()] ^= static_cast<char>(1u << (rng() % 8));
        break;
      case 1: {  // a random 8-byte value anywhere (counts, lengths, ids)
        uint64_t v = rng();
        if (rng() % 2) v %= 1024;
        size_t at = rng() % (target.size() - 8);
        std::memcpy(target.data() + at, &v, 8);
        break;
      }
      default: {  // a random byte in place (layers, ranks, magics)
        target[rng() % target.size()] = static_cast<char>(rng());
        break;
      }
    }
    try_reload(g, d, i);
  }
  struct rusage ru;
  getrusage(RUSAGE_SELF, &ru);
  EXPECT_LT(ru.ru_maxrss, 2L * 1024 * 1024);  // KiB: far below what runaway counts would take
}

}  // namespace
}  // namespace vantor
