#include "hnsw/hnsw/heap.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace vantor {
namespace {

std::vector<uint32_t> ids(const std::vector<Entry>& h) {
  std::vector<uint32_t> out;
  for (const Entry& e : h) out.push_back(e.idx);
  return out;
}

TEST(HeapTest, NegatedConversionPutsNearestOnTopFirstGivenAmongEquals) {
  std::vector<Entry> h;
  for (Entry e : {Entry{0, -0.5f}, Entry{1, -0.1f}, Entry{2, -0.3f}}) heap::push(h, e);
  EXPECT_EQ(ids(h), (std::vector<uint32_t>{1, 0, 2}));  // -0.1, -0.5, -0.3
  std::vector<Entry> t;
  for (Entry e : {Entry{0, -0.5f}, Entry{1, -0.1f}, Entry{2, -0.1f}}) heap::push(t, e);
  EXPECT_EQ(t[0].idx, 1u);
}

// With all keys equal, the discipline alone fixes the order: pops return
// a, b, c and the heap sort gives b, c, a.
TEST(HeapTest, TieOrderOfPopAndSort) {
  std::vector<Entry> h;
  for (uint32_t i = 0; i < 3; ++i) heap::push(h, Entry{i, 1.0f});
  std::vector<Entry> popped = h;
  std::vector<uint32_t> order;
  while (!popped.empty()) order.push_back(heap::pop(popped).idx);
  EXPECT_EQ(order, (std::vector<uint32_t>{0, 1, 2}));
  heap::sort(h);
  EXPECT_EQ(ids(h), (std::vector<uint32_t>{1, 2, 0}));
}

TEST(HeapTest, PopsInDecreasingOrderAndSortsIncreasing) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> u(0, 20);  // many ties
  for (int round = 0; round < 50; ++round) {
    std::vector<Entry> h;
    for (uint32_t i = 0; i < 100; ++i) heap::push(h, Entry{i, static_cast<float>(u(rng))});
    std::vector<Entry> s = h;
    heap::sort(s);
    for (size_t i = 1; i < s.size(); ++i) ASSERT_LE(s[i - 1].dist, s[i].dist);
    float last = INFINITY;
    while (!h.empty()) {
      Entry e = heap::pop(h);
      ASSERT_LE(e.dist, last);
      last = e.dist;
    }
  }
}

TEST(HeapTest, DistLessIsAStrictWeakOrderWithNaNLast) {
  const float nan = NAN;
  EXPECT_TRUE(dist_less(1.0f, nan));
  EXPECT_FALSE(dist_less(nan, 1.0f));
  EXPECT_FALSE(dist_less(nan, nan));
  EXPECT_FALSE(dist_less(1.0f, 1.0f));
  EXPECT_TRUE(dist_less(-0.0f, 1.0f));
}

}  // namespace
}  // namespace vantor
