// Dump and reload: same hits and level scale after reloading in memory and
// on a map, inserts after a reload keep the graph sound, dumps are atomic.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "hnsw/api/dump.h"
#include "hnsw/hnswio/reload.h"
#include "tests/hnsw/graph_checker.h"

namespace vantor {
namespace {

namespace fs = std::filesystem;
using H = Hnsw<dist::u8, dist::DistL2>;
using V = std::vector<dist::u8>;

struct TempDir {
  fs::path path;
  TempDir() {
    path = fs::temp_directory_path() / ("vantor-dump-" + std::to_string(::getpid()) + "-" + std::to_string(counter()++));
    fs::create_directories(path);
  }
  ~TempDir() { fs::remove_all(path); }
  static int& counter() {
    static int c = 0;
    return c;
  }
};

std::vector<V> rows(size_t n, size_t dim, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<V> out(n, V(dim));
  for (auto& r : out)
    for (auto& x : r) x = static_cast<dist::u8>(rng());
  return out;
}

std::unique_ptr<H> build(const std::vector<V>& data) {
  auto h = std::move(*H::create(12, data.size(), 16, 64));
  for (size_t i = 0; i < data.size(); ++i) EXPECT_TRUE(h->insert(data[i], i).has_value());
  return h;
}

hnswio::HnswIo io_for(const TempDir& d, const std::string& base, bool mmap = false, uint64_t in_memory = 0) {
  hnswio::HnswIo io;
  io.dir = d.path.string();
  io.basename = base;
  io.use_mmap = mmap;
  io.nb_points_in_memory = in_memory;
  return io;
}

TEST(DumpReloadTest, ReloadedIndexesAnswerLikeTheOriginal) {
  TempDir dir;
  auto data = rows(1000, 24, 1);
  auto h = build(data);
  ASSERT_EQ(*api::file_dump(*h, dir.path.string(), "idx"), "idx");
  auto queries = rows(1000, 24, 2);
  struct Mode {
    bool mmap;
    uint64_t in_memory;
  };
  for (Mode m : {Mode{false, 0}, Mode{true, 0}, Mode{true, 300}, Mode{true, 1000}}) {
    auto io = io_for(dir, "idx", m.mmap, m.in_memory);
    auto r = hnswio::load_hnsw<dist::u8, dist::DistL2>(io);
    ASSERT_TRUE(r.has_value()) << r.error().message;
    auto& g = **r;
    EXPECT_EQ(io.datamap != nullptr, m.mmap);
    EXPECT_EQ(g.nb_point(), 1000u);
    EXPECT_EQ(g.level_scale(), h->level_scale());
    EXPECT_EQ(g.ef_construction(), 64u);
    EXPECT_TRUE(g.extend_candidates());
    EXPECT_EQ(testing::check_graph(g), "");
    for (uint32_t i = 0; i < 1000; ++i) {
      auto v = g.point_vector(i);
      ASSERT_EQ(V(v.begin(), v.end()), data[g.origin_id(i)]);
    }
    for (const auto& q : queries) ASSERT_EQ(*g.search(q, 10, 40), *h->search(q, 10, 40));
  }
}

TEST(DumpReloadTest, InsertsAfterAReloadKeepEveryPointReachable) {
  TempDir dir;
  auto data = rows(2000, 8, 3);
  auto h = build(data);
  ASSERT_TRUE(api::file_dump(*h, dir.path.string(), "idx").has_value());
  for (bool mmap : {false, true}) {
    auto io = io_for(dir, "idx", mmap);
    auto g = std::move(*hnswio::load_hnsw<dist::u8, dist::DistL2>(io));
    io.datamap.reset();  // the index shares the map: it must stay readable
    auto more = rows(50000, 8, 4);
    std::vector<H::InsertItem> items;
    for (size_t i = 0; i < more.size(); ++i) items.emplace_back(std::span<const dist::u8>(more[i]), 10000 + i);
    ASSERT_TRUE(g->parallel_insert(items).has_value());
    EXPECT_EQ(g->nb_point(), 52000u);
    EXPECT_EQ(testing::check_graph(*g), "");
    EXPECT_EQ((*g->search(data[7], 1, 64))[0].distance, 0.0f);
  }
}

TEST(DumpReloadTest, AFailedDumpKeepsThePreviousOne) {
  TempDir dir;
  auto h = build(rows(50, 4, 5));
  ASSERT_TRUE(api::file_dump(*h, dir.path.string(), "idx").has_value());
  auto graph = dir.path / "idx.hnsw.graph";
  auto before = fs::file_size(graph);
  auto empty = std::move(*H::create(12, 10, 16, 64));
  auto r = api::file_dump(*empty, dir.path.string(), "idx");
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message, "entry point not initialized");
  auto few_layers = std::move(*H::create(12, 10, 8, 64));
  ASSERT_TRUE(few_layers->insert(V{1, 2, 3, 4}, 0).has_value());
  EXPECT_FALSE(api::file_dump(*few_layers, dir.path.string(), "idx").has_value());
  auto m256 = std::move(*H::create(256, 10, 16, 64));
  ASSERT_TRUE(m256->insert(V{1, 2, 3, 4}, 0).has_value());
  EXPECT_FALSE(api::file_dump(*m256, dir.path.string(), "idx").has_value());
  EXPECT_EQ(fs::file_size(graph), before);
  size_t files = 0;
  for (auto& e : fs::directory_iterator(dir.path)) files += e.is_regular_file();
  EXPECT_EQ(files, 2u);  // no temporaries left behind
}

TEST(DumpReloadTest, AReloadedIndexDumpsUnderAFreshBasename) {
  TempDir dir;
  auto h = build(rows(50, 4, 6));
  ASSERT_TRUE(api::file_dump(*h, dir.path.string(), "idx").has_value());
  auto io = io_for(dir, "idx");
  auto g = std::move(*hnswio::load_hnsw<dist::u8, dist::DistL2>(io));
  auto name = *api::file_dump(*g, dir.path.string(), "idx");
  ASSERT_NE(name, "idx");
  EXPECT_EQ(name.rfind("idx-", 0), 0u);
  EXPECT_TRUE(fs::exists(dir.path / (name + ".hnsw.graph")));
  // When every fresh name is taken the dump fails instead of searching forever.
  for (int n = 0; n < 10000; ++n) std::ofstream(dir.path / ("idx-" + std::to_string(n) + ".hnsw.data"));
  EXPECT_FALSE(api::file_dump(*g, dir.path.string(), "idx").has_value());
}

TEST(DumpReloadTest, ReloadRefusesAnotherDistanceOrType) {
  TempDir dir;
  auto h = build(rows(20, 4, 7));
  ASSERT_TRUE(api::file_dump(*h, dir.path.string(), "idx").has_value());
  auto io = io_for(dir, "idx");
  auto l1 = hnswio::load_hnsw<dist::u8, dist::DistL1>(io);
  ASSERT_FALSE(l1.has_value());
  EXPECT_EQ(l1.error().message,
            "error in distances : dumped distance is : morvane::dist::distances::DistL2 asked distance in loading is : "
            "morvane::dist::distances::DistL1");
  auto u16 = hnswio::load_hnsw<dist::u16, dist::DistL2>(io);
  ASSERT_FALSE(u16.has_value());
  EXPECT_EQ(u16.error().message, "incohrent size of T in description");
  auto graph_only = hnswio::load_hnsw<dist::NoData, dist::NoDist>(io);
  ASSERT_TRUE(graph_only.has_value());
  EXPECT_EQ((*graph_only)->nb_point(), 20u);
  auto missing = io_for(dir, "nothing");
  auto none = hnswio::load_hnsw<dist::u8, dist::DistL2>(missing);
  EXPECT_EQ(none.error().message, "could not reload HNSW structure");
}

}  // namespace
}  // namespace vantor
