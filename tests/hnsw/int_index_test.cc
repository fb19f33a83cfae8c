// The integer instances: exact search against brute force, length rules of
// each distance, parallel calls equal to sequential ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "hnsw/hnsw/hnsw.h"
#include "tests/hnsw/graph_checker.h"

namespace vantor {
namespace {

template <class T>
std::vector<std::vector<T>> random_rows(size_t n, size_t dim, uint32_t seed, uint64_t max) {
  std::mt19937_64 rng(seed);
  std::vector<std::vector<T>> out(n, std::vector<T>(dim));
  for (auto& r : out)
    for (auto& x : r) x = static_cast<T>(rng() % (max + 1));
  return out;
}

// With ef >= n the search is exhaustive on a connected graph: the hits are
// the brute-force nearest, their distances bit-equal to the kernel's.
template <class T, class D>
void exact_search(uint64_t max_value, size_t dim = 12) {
  auto data = random_rows<T>(300, dim, 11, max_value);
  auto h = std::move(*Hnsw<T, D>::create(8, 300, 16, 64));
  for (size_t i = 0; i < data.size(); ++i) ASSERT_TRUE(h->insert(data[i], i).has_value());
  ASSERT_EQ(testing::check_graph(*h), "") << D::kName;
  auto queries = random_rows<T>(20, dim, 12, max_value);
  D d;
  for (const auto& q : queries) {
    std::vector<float> all;
    for (const auto& r : data) all.push_back(d.eval(std::span<const T>(q), std::span<const T>(r)));
    std::vector<float> sorted = all;
    std::sort(sorted.begin(), sorted.end());
    auto hits = *h->search(q, 5, 400);
    ASSERT_EQ(hits.size(), 5u);
    for (size_t k = 0; k < hits.size(); ++k) {
      EXPECT_EQ(hits[k].distance, sorted[k]) << D::kName;
      EXPECT_EQ(hits[k].distance, all[hits[k].d_id]) << D::kName;
    }
  }
}

TEST(IntIndexTest, ExactSearchPerTypeAndDistance) {
  exact_search<dist::i32, dist::DistL1>(2000000000);
  exact_search<dist::i32, dist::DistL2>(1000);
  exact_search<dist::i32, dist::DistHamming>(3);
  exact_search<dist::u16, dist::DistL1>(65535);
  exact_search<dist::u16, dist::DistL2>(65535);
  exact_search<dist::u16, dist::DistHamming>(3);
  exact_search<dist::u16, dist::DistJaccard>(65535);
  exact_search<dist::u16, dist::DistLevenshtein>(3);
  exact_search<dist::u32, dist::DistL1>(UINT32_MAX);
  exact_search<dist::u32, dist::DistL2>(UINT32_MAX);
  exact_search<dist::u32, dist::DistHamming>(3);
  exact_search<dist::u32, dist::DistJaccard>(UINT32_MAX);
  exact_search<dist::u8, dist::DistL1>(255);
  exact_search<dist::u8, dist::DistL2>(255);
  exact_search<dist::u8, dist::DistHamming>(3);
  exact_search<dist::u8, dist::DistJaccard>(255);
}

TEST(IntIndexTest, LengthRulesBelongToTheDistance) {
  using V = std::vector<dist::u8>;
  auto l2 = std::move(*Hnsw<dist::u8, dist::DistL2>::create(8, 10, 16, 16));
  ASSERT_TRUE(l2->insert(V{1, 2, 3}, 0).has_value());
  EXPECT_FALSE(l2->insert(V{1, 2}, 1).has_value());
  EXPECT_FALSE(l2->search(V{1, 2, 3, 4}, 1, 10).has_value());

  auto ham = std::move(*Hnsw<dist::u8, dist::DistHamming>::create(8, 10, 16, 16));
  EXPECT_FALSE(ham->insert(V{}, 0).has_value());
  EXPECT_EQ(ham->nb_point(), 0u);

  // Any lengths, and each point keeps its own.
  auto jac = std::move(*Hnsw<dist::u8, dist::DistJaccard>::create(8, 10, 16, 16));
  std::vector<V> vs = {{1}, {1, 2, 3}, {0, 9}, {9, 9, 9, 9, 9}, {1, 2}};
  for (size_t i = 0; i < vs.size(); ++i) ASSERT_TRUE(jac->insert(vs[i], i).has_value());
  for (uint32_t i = 0; i < vs.size(); ++i) EXPECT_EQ(jac->point_vector(i).size(), vs[i].size());
  auto hits = *jac->search(V{9, 9, 9, 9, 9, 9, 9}, 1, 10);
  EXPECT_EQ(hits[0].d_id, 3u);

  auto lev = std::move(*Hnsw<dist::u16, dist::DistLevenshtein>::create(8, 10, 16, 16));
  using W = std::vector<dist::u16>;
  std::vector<W> words = {{'c', 'a', 't'}, {'c', 'a', 'r', 't'}, {'d', 'o', 'g'}, {}};
  for (size_t i = 0; i < words.size(); ++i) ASSERT_TRUE(lev->insert(words[i], i).has_value());
  EXPECT_EQ((*lev->search(W{'c', 'a', 't', 's'}, 1, 10))[0].d_id, 0u);
}

TEST(IntIndexTest, ParallelCallsEqualSequentialOnes) {
  using H = Hnsw<dist::u16, dist::DistL2>;
  auto data = random_rows<dist::u16>(2000, 16, 5, 1000);
  auto h = std::move(*H::create(12, 2000, 16, 100));
  std::vector<H::InsertItem> items;
  for (size_t i = 0; i < data.size(); ++i) items.emplace_back(std::span<const dist::u16>(data[i]), i);
  ASSERT_TRUE(h->parallel_insert(items).has_value());
  EXPECT_EQ(h->nb_point(), data.size());
  EXPECT_EQ(testing::check_graph(*h), "");
  auto queries = random_rows<dist::u16>(100, 16, 6, 1000);
  std::vector<std::span<const dist::u16>> qs(queries.begin(), queries.end());
  auto par = *h->parallel_search(qs, 10, 50);
  for (size_t i = 0; i < queries.size(); ++i) EXPECT_EQ(par[i], *h->search(queries[i], 10, 50));
}

dist::i32 g_calls_first = 0;
float first_elem_distance(const dist::i32* a, const dist::i32* b, uint64_t n) {
  g_calls_first = a[0];
  return static_cast<float>(std::abs(static_cast<int64_t>(a[0]) - b[0]));
}

TEST(IntIndexTest, CallerSuppliedDistanceOverIntegers) {
  using H = Hnsw<dist::i32, dist::DistCFFI<dist::i32>>;
  auto h = std::move(*H::create(4, 10, 16, 16, dist::DistCFFI<dist::i32>{first_elem_distance}));
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(h->insert(std::vector<dist::i32>{i * 10, 0}, i).has_value());
  auto hits = *h->search(std::vector<dist::i32>{-77, 0}, 1, 50);
  EXPECT_EQ(hits[0].d_id, 0u);
  EXPECT_EQ(g_calls_first, -77);  // the query comes first
  EXPECT_FALSE(h->insert(std::vector<dist::i32>{1}, 99).has_value());  // another length
}

}  // namespace
}  // namespace vantor
