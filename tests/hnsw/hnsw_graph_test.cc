#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "common/log.h"
#include "hnsw/hnsw/hnsw.h"
#include "tests/hnsw/graph_checker.h"
#include "tests/hnsw/hnsw_test_access.h"

namespace vantor {
namespace {

using L1 = Hnsw<float, dist::DistL1>;
using L2 = Hnsw<float, dist::DistL2>;
using Cos = Hnsw<float, dist::DistCosine>;
using Vec = std::vector<float>;
using A = HnswTestAccess;

template <class H = L1>
std::unique_ptr<H> make(uint64_t m = 4, uint64_t ef_c = 16, uint64_t layers = 16) {
  auto h = H::create(m, 100, layers, ef_c);
  EXPECT_TRUE(h.has_value());
  return std::move(*h);
}

std::vector<uint64_t> ids_of(const std::vector<NeighbourHit>& hits) {
  std::vector<uint64_t> out;
  for (const auto& h : hits) out.push_back(h.d_id);
  return out;
}

std::vector<uint32_t> idx_of(const std::vector<Entry>& list) {
  std::vector<uint32_t> out;
  for (const auto& e : list) out.push_back(e.idx);
  return out;
}

// ---- construction -------------------------------------------------------------

TEST(HnswConstructionTest, LimitsAreErrorsNotExits) {
  auto bad = L2::create(257, 10, 16, 100);
  ASSERT_FALSE(bad.has_value());
  EXPECT_EQ(bad.error().code, ErrorCode::InvalidConfig);
  EXPECT_EQ(bad.error().message, "max_nb_connection must be less equal than 256");
  EXPECT_TRUE(L2::create(256, 10, 16, 100).has_value());
  EXPECT_FALSE(L2::create(16, 10, 0, 100).has_value());
  EXPECT_EQ((*L2::create(16, 10, 20, 100))->nb_layer(), 16u);
  EXPECT_EQ((*L2::create(16, 10, 3, 100))->nb_layer(), 3u);
}

TEST(HnswConstructionTest, LogsParametersAndTeardown) {
  zudizid::log::ScopedCapture capture(zudizid::log::Level::Info);
  { auto h = Cos::create(24, 1000, 16, 400); }
  std::vector<std::string> msgs;
  for (const auto& r : capture.records()) {
    EXPECT_EQ(r.target, "vantor::hnsw");
    msgs.push_back(r.message);
  }
  ASSERT_GE(msgs.size(), 7u);
  EXPECT_EQ(msgs[0], "Hnsw max_nb_connection 24");
  EXPECT_EQ(msgs[1], "Hnsw nb elements 1000");
  EXPECT_EQ(msgs[2], "Hnsw ef_construction 400");
  EXPECT_EQ(msgs[3], "Hnsw distance morvane::dist::distances::DistCosine");
  EXPECT_EQ(msgs[4], "Hnsw extend candidates false");
  EXPECT_EQ(msgs[5], "entering PointIndexation drop");
  EXPECT_TRUE(msgs[6].starts_with(" drop sys time(s) ")) << msgs[6];
}

// ---- input checks -----------------------------------------------------------------

TEST(HnswInputTest, BadVectorsAreRefusedBeforeAnythingIsStored) {
  auto h = make<L2>();
  ASSERT_TRUE(h->insert(Vec{1, 2, 3}, 0).has_value());
  EXPECT_EQ(h->dimension(), 3u);
  auto wrong = h->insert(Vec{1, 2}, 1);
  ASSERT_FALSE(wrong.has_value());
  EXPECT_EQ(wrong.error().code, ErrorCode::InvalidVector);
  EXPECT_EQ(wrong.error().message, "vector length 2 does not match the index dimension 3");
  EXPECT_FALSE(h->insert(Vec{1, NAN, 3}, 2).has_value());
  EXPECT_FALSE(h->insert(Vec{1, INFINITY, 3}, 2).has_value());
  EXPECT_EQ(h->nb_point(), 1u);
  EXPECT_FALSE(h->search(Vec{1, 2}, 5, 10).has_value());
  EXPECT_FALSE(h->search(Vec{NAN, 2, 3}, 5, 10).has_value());
  auto hits = h->search(Vec{1, 2, 3}, 5, 10);
  ASSERT_TRUE(hits.has_value());
  EXPECT_EQ(ids_of(*hits), (std::vector<uint64_t>{0}));
}

TEST(HnswInputTest, ABadItemRefusesTheWholeBatch) {
  auto h = make<L2>();
  Vec a{1, 2}, b{3, 4}, c{5};
  std::vector<L2::InsertItem> items{{a, 0}, {b, 1}, {c, 2}};
  EXPECT_FALSE(h->parallel_insert(items).has_value());
  EXPECT_EQ(h->nb_point(), 0u);
  items.pop_back();
  EXPECT_TRUE(h->parallel_insert(items).has_value());
  EXPECT_EQ(h->nb_point(), 2u);
}

// ---- search ---------------------------------------------------------------------------

TEST(HnswSearchTest, EmptyAndSinglePointIndexes) {
  auto h = make<L2>();
  EXPECT_TRUE(h->search(Vec{1, 2, 3, 4}, 5, 10)->empty());  // any length on an empty index
  ASSERT_TRUE(h->insert(Vec{3, 4}, 42).has_value());
  auto hits = *h->search(Vec{0, 0}, 5, 1);
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0], (NeighbourHit{42, 5.0f, PointId{hits[0].p_id.layer, 0}}));
  EXPECT_TRUE(h->search(Vec{0, 0}, 0, 10)->empty());
}

// Query 0 over points at |1|, |-1|, |1|, |2| linked from A: the heap
// discipline fixes the order of the equally distant hits.
TEST(HnswSearchTest, HandBuiltGraphGivesExactHitsWithTieOrder) {
  auto h = make<L1>();
  uint32_t a = A::add(*h, Vec{1}, 100, 0);
  uint32_t b = A::add(*h, Vec{-1}, 101, 0);
  uint32_t c = A::add(*h, Vec{1}, 102, 0);
  uint32_t d = A::add(*h, Vec{2}, 103, 0);
  A::set_list(*h, a, 0, {{b, 2}, {c, 0}, {d, 1}});
  A::set_entry(*h, a);
  struct Case { uint64_t k, ef; std::vector<uint64_t> ids; };
  // With D admitted the heap layout changes, and so does the order of ties.
  for (const Case& t : {Case{3, 3, {101, 102, 100}}, Case{5, 2, {100, 102, 101, 103}},
                        Case{2, 2, {101, 100}}, Case{1, 0, {100}}, Case{4, 4, {100, 102, 101, 103}}}) {
    auto hits = *h->search(Vec{0}, t.k, t.ef);
    EXPECT_EQ(ids_of(hits), t.ids) << "k=" << t.k << " ef=" << t.ef;
    for (size_t i = 1; i < hits.size(); ++i) EXPECT_LE(hits[i - 1].distance, hits[i].distance);
  }
}

TEST(HnswSearchTest, LayerSearchAdmissionAndStopRules) {
  auto h = make<L1>();
  uint32_t e = A::add(*h, Vec{0}, 0, 0);
  uint32_t n1 = A::add(*h, Vec{5}, 1, 0);
  uint32_t n2 = A::add(*h, Vec{-5}, 2, 0);  // same distance as n1
  uint32_t far = A::add(*h, Vec{9}, 3, 0);
  uint32_t behind = A::add(*h, Vec{1}, 4, 0);  // only reachable through n2
  A::set_list(*h, e, 0, {{n1, 5}, {n2, 5}, {far, 9}});
  A::set_list(*h, n2, 0, {{behind, 6}});
  // ef 0 and 1 keep exactly one point: the first met at the smallest distance.
  EXPECT_EQ(idx_of(A::search_layer(*h, Vec{0}, e, 0, 0)), (std::vector<uint32_t>{e}));
  EXPECT_EQ(idx_of(A::search_layer(*h, Vec{4}, e, 1, 0)), (std::vector<uint32_t>{n1}));
  // ef 2 from query 0: n1 is admitted (room), n2 is not (ties the top), so
  // `behind` is never reached.
  auto r = A::search_layer(*h, Vec{0}, e, 2, 0);
  EXPECT_EQ(idx_of(r), (std::vector<uint32_t>{n1, e}));
  // ef 3: n2 is admitted and expanded although it ties the farthest kept
  // point; `behind` then displaces the farthest.
  r = A::search_layer(*h, Vec{0}, e, 3, 0);
  std::sort(r.begin(), r.end(), [](Entry x, Entry y) { return x.idx < y.idx; });
  EXPECT_EQ(idx_of(r), (std::vector<uint32_t>{e, n2, behind}));
  // An empty layer gives nothing, even from a linked entry point.
  EXPECT_TRUE(A::search_layer(*h, Vec{0}, e, 3, 1).empty());
}

TEST(HnswSearchTest, DescentKeepsPivotOnTiesAndTakesTheFirstOfEqualBest) {
  auto h = make<L1>();
  uint32_t top = A::add(*h, Vec{10}, 0, 1);
  uint32_t x = A::add(*h, Vec{2}, 1, 1);
  uint32_t y = A::add(*h, Vec{-2}, 2, 1);
  uint32_t xl = A::add(*h, Vec{3}, 3, 0);
  uint32_t yl = A::add(*h, Vec{-3}, 4, 0);
  A::set_list(*h, top, 1, {{x, 8}, {y, 12}});
  A::set_list(*h, x, 0, {{xl, 1}});
  A::set_list(*h, y, 0, {{yl, 1}});
  A::set_entry(*h, top);
  // x and y tie for query 0; x comes first in the list and becomes the pivot,
  // so the layer-0 search (ef 1) never sees y's side.
  auto hits = *h->search(Vec{0}, 1, 1);
  EXPECT_EQ(ids_of(hits), (std::vector<uint64_t>{1}));
}

TEST(HnswSearchTest, FinalSearchRunsOnTheLowestOccupiedLayer) {
  auto h = make<L1>();
  uint32_t p = A::add(*h, Vec{1}, 7, 2);
  uint32_t q = A::add(*h, Vec{2}, 8, 2);
  A::set_list(*h, p, 2, {{q, 1}});
  A::set_list(*h, q, 2, {{p, 1}});
  A::set_entry(*h, p);
  EXPECT_EQ(h->layer_point_count(0), 0u);
  EXPECT_EQ(ids_of(*h->search(Vec{2}, 2, 2)), (std::vector<uint64_t>{8, 7}));
}

// ---- insertion -----------------------------------------------------------------------------

TEST(HnswInsertTest, TwoPointsOnLayerZeroLinkBothWays) {
  auto h = make<L1>();
  uint32_t a = A::insert_at(*h, Vec{1}, 0, 0);
  uint32_t b = A::insert_at(*h, Vec{4}, 1, 0);
  EXPECT_EQ(h->entry_index(), a);
  auto la = h->neighbours(a, 0), lb = h->neighbours(b, 0);
  ASSERT_EQ(la.size(), 1u);
  ASSERT_EQ(lb.size(), 1u);
  EXPECT_EQ(la[0].idx, b);
  EXPECT_EQ(lb[0].idx, a);
  EXPECT_EQ(la[0].dist, 3.0f);
  EXPECT_EQ(lb[0].dist, 3.0f);
}

// A point on layer 2 over an entry on layer 0: no descent; it finds the entry
// on every layer that holds a point (2 holds itself, 1 none). The entry links
// back on each layer where it was chosen, including layer 0, so the new point
// stays reachable by the final layer-0 search.
TEST(HnswInsertTest, HigherPointLinksBackOnEveryLayerAndBecomesEntry) {
  auto h = make<L1>();
  zudizid::log::ScopedCapture capture(zudizid::log::Level::Debug);
  uint32_t a = A::insert_at(*h, Vec{0}, 0, 0);
  uint32_t b = A::insert_at(*h, Vec{2}, 1, 2);
  EXPECT_EQ(h->entry_index(), b);
  std::vector<std::string> msgs;
  for (const auto& r : capture.records()) msgs.push_back(r.message);
  EXPECT_EQ(msgs, (std::vector<std::string>{"Hnsw  , inserting  entry point PointId(0, 0) ",
                                            "Hnsw  , inserting  entry point PointId(2, 0) ",
                                            "PointIndexation insert setting max level from 0 to 2"}));
  EXPECT_EQ(idx_of(h->neighbours(b, 2)), (std::vector<uint32_t>{a}));
  EXPECT_TRUE(h->neighbours(b, 1).empty());
  EXPECT_EQ(idx_of(h->neighbours(b, 0)), (std::vector<uint32_t>{a}));
  EXPECT_EQ(idx_of(h->neighbours(a, 0)), (std::vector<uint32_t>{b}));
  EXPECT_TRUE(h->neighbours(a, 1).empty());
  EXPECT_EQ(idx_of(h->neighbours(a, 2)), (std::vector<uint32_t>{b}));
  // A later layer-0 point descends: its list 2 gets the record found there;
  // layer 1 is empty and gives nothing.
  uint32_t c = A::insert_at(*h, Vec{3}, 2, 0);
  EXPECT_EQ(idx_of(h->neighbours(c, 2)), (std::vector<uint32_t>{b}));
  EXPECT_TRUE(h->neighbours(c, 1).empty());
  EXPECT_EQ(h->entry_index(), b);
}

// M = 1: layer 0 keeps two neighbours. Candidates 1, 1.5, 3 around a new point
// at 0 (points at 1, 1.5 and -3): 1.5 is nearer to 1 (0.5) than to the new
// point (1.5), so it is discarded; -3 is kept.
TEST(HnswInsertTest, HeuristicDiscardsCandidatesCloserToAKeptNeighbour) {
  auto h = make<L1>(1, 16, 1);
  A::insert_at(*h, Vec{1}, 0, 0);
  A::insert_at(*h, Vec{1.5f}, 1, 0);
  A::insert_at(*h, Vec{-3}, 2, 0);
  uint32_t p = A::insert_at(*h, Vec{0}, 3, 0);
  auto l = h->neighbours(p, 0);
  ASSERT_EQ(l.size(), 2u);
  EXPECT_EQ(h->origin_id(l[0].idx), 0u);
  EXPECT_EQ(h->origin_id(l[1].idx), 2u);
  EXPECT_EQ(l[1].dist, 3.0f);
  // A duplicate of point 0 keeps only its twin: every other candidate is at
  // least as near to the twin as to the new point.
  uint32_t dup = A::insert_at(*h, Vec{1}, 4, 0);
  auto ld = h->neighbours(dup, 0);
  ASSERT_EQ(ld.size(), 1u);
  EXPECT_EQ(h->origin_id(ld[0].idx), 0u);
  EXPECT_EQ(ld[0].dist, 0.0f);
  EXPECT_EQ(testing::check_graph(*h), "");
}

TEST(HnswInsertTest, FullNeighbourListDropsItsFarthestEntry) {
  auto h = make<L1>(1, 16, 1);  // layer-0 limit 2
  uint32_t a = A::insert_at(*h, Vec{0}, 0, 0);
  A::insert_at(*h, Vec{1}, 1, 0);
  A::insert_at(*h, Vec{-2}, 2, 0);
  uint32_t d = A::insert_at(*h, Vec{-0.5f}, 3, 0);
  auto l = h->neighbours(a, 0);
  ASSERT_EQ(l.size(), 2u);  // -2 (distance 2) was dropped for -0.5
  EXPECT_EQ(l[0].idx, d);
  EXPECT_EQ(h->origin_id(l[1].idx), 1u);
  EXPECT_EQ(testing::check_graph(*h), "");
}

TEST(HnswInsertTest, ZeroConnectionsLeaveEveryPointUnlinked) {
  auto h = make<L1>(0);
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(h->insert(Vec{static_cast<float>(i)}, i).has_value());
  for (uint32_t p = 0; p < 5; ++p) EXPECT_TRUE(h->neighbours(p, 0).empty());
  EXPECT_EQ(h->search(Vec{3}, 5, 5)->size(), 1u);  // only the entry point
}

TEST(HnswInsertTest, DuplicateIdsAndVectorsMakeDistinctPoints) {
  auto h = make<L2>(8, 32);
  // Seeded: with first points drawn above an empty layer 0, a point can miss
  // layer-0 links altogether (it gets none on a layer no point has exactly).
  A::reseed(*h, 4);
  ASSERT_TRUE(h->insert(Vec{1, 1}, 5).has_value());
  ASSERT_TRUE(h->insert(Vec{1, 1}, 5).has_value());
  ASSERT_TRUE(h->insert(Vec{9, 9}, 6).has_value());
  EXPECT_EQ(h->nb_point(), 3u);
  auto hits = *h->search(Vec{1, 1}, 2, 10);
  EXPECT_EQ(ids_of(hits), (std::vector<uint64_t>{5, 5}));
  EXPECT_NE(hits[0].p_id, hits[1].p_id);
}

// ---- caller-supplied distance and graph-only index ------------------------------------------------

float abs_diff(const float* a, const float* b, uint64_t n) { return n ? std::fabs(a[0] - b[0]) : 0.0f; }
float negative(const float*, const float*, uint64_t) { return -1.0f; }

TEST(HnswSpecialDistanceTest, CallerSuppliedDistanceAndItsFailures) {
  using C = Hnsw<float, dist::DistCFFI<float>>;
  auto h = std::move(*C::create(4, 10, 16, 16, dist::DistCFFI<float>{abs_diff}));
  for (int i = 0; i < 20; ++i) ASSERT_TRUE(h->insert(Vec{static_cast<float>(i)}, i).has_value());
  EXPECT_EQ(ids_of(*h->search(Vec{7.2f}, 2, 20)), (std::vector<uint64_t>{7, 8}));

  auto bad = std::move(*C::create(4, 10, 16, 16, dist::DistCFFI<float>{negative}));
  ASSERT_TRUE(bad->insert(Vec{1}, 0).has_value());  // the first point needs no distance
  auto r = bad->insert(Vec{2}, 1);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().code, ErrorCode::DistanceFailed);
  EXPECT_FALSE(bad->search(Vec{2}, 1, 1).has_value());
}

TEST(HnswSpecialDistanceTest, GraphOnlyIndexRefusesEveryDistance) {
  using G = Hnsw<dist::NoData, dist::NoDist>;
  auto h = std::move(*G::create(4, 10, 16, 16));
  std::vector<dist::NoData> v(3);
  EXPECT_TRUE(h->search(v, 5, 5)->empty());
  ASSERT_TRUE(h->insert(v, 1).has_value());
  zudizid::log::ScopedCapture capture(zudizid::log::Level::Error);
  auto r = h->insert(v, 2);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().message, "cannot call distance with NoDist");
  EXPECT_EQ(h->nb_point(), 1u);
  auto s = h->search(v, 5, 5);
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error().message, "cannot call distance with NoDist");
  auto recs = capture.records();
  ASSERT_EQ(recs.size(), 2u);
  EXPECT_EQ(recs[0].target, "morvane::dist::distances");
  EXPECT_EQ(recs[0].message, "panic error : cannot call eval on NoDist");
}

// ---- larger graphs -----------------------------------------------------------------------------

std::vector<Vec> random_vectors(size_t n, size_t dim, uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0, 1);
  std::vector<Vec> out(n, Vec(dim));
  for (auto& v : out)
    for (auto& x : v) x = g(rng);
  return out;
}

template <class H>
double recall_at_10(const H& h, const std::vector<Vec>& data, const std::vector<Vec>& queries, uint64_t ef) {
  typename H::Dist d;
  size_t found = 0;
  for (const auto& q : queries) {
    std::vector<std::pair<float, uint64_t>> all;
    for (size_t i = 0; i < data.size(); ++i) all.push_back({d.eval(q, data[i]), i});
    std::partial_sort(all.begin(), all.begin() + 10, all.end());
    auto hits = *h.search(q, 10, ef);
    for (int k = 0; k < 10; ++k) {
      for (const auto& hit : hits) {
        if (hit.d_id == all[k].second) {
          ++found;
          break;
        }
      }
    }
  }
  return static_cast<double>(found) / (10.0 * queries.size());
}

TEST(HnswRecallTest, SequentialAndParallelBuildsFindTrueNeighbours) {
  auto data = random_vectors(3000, 16, 1);
  auto queries = random_vectors(100, 16, 2);
  // Layer draws are seeded so that the sequential build is reproducible.
  auto seq = *Cos::create(12, data.size(), 16, 100);
  A::reseed(*seq, 12345);
  for (size_t i = 0; i < data.size(); ++i) ASSERT_TRUE(seq->insert(data[i], i).has_value());
  EXPECT_GT(recall_at_10(*seq, data, queries, 64), 0.95);
  EXPECT_EQ(testing::check_graph(*seq), "");

  auto par = *Cos::create(12, data.size(), 16, 100);
  std::vector<Cos::InsertItem> items;
  for (size_t i = 0; i < data.size(); ++i) items.push_back({data[i], i});
  ASSERT_TRUE(par->parallel_insert(items).has_value());
  EXPECT_EQ(par->nb_point(), data.size());
  // Thread timing decides the graph: only a broken build falls this low.
  EXPECT_GT(recall_at_10(*par, data, queries, 64), 0.5);
  EXPECT_EQ(testing::check_graph(*par), "");

  // Parallel search answers in query order, equal to one search per query.
  std::vector<std::span<const float>> qs(queries.begin(), queries.end());
  qs.push_back(queries[0]);
  auto answers = *par->parallel_search(qs, 10, 40);
  ASSERT_EQ(answers.size(), qs.size());
  for (size_t i = 0; i < qs.size(); ++i) EXPECT_EQ(answers[i], *par->search(qs[i], 10, 40)) << i;
  EXPECT_EQ(answers.front(), answers.back());
  EXPECT_TRUE(par->parallel_search(std::span<const std::span<const float>>{}, 10, 40)->empty());
}

template <class D>
void expect_searchable(const std::vector<Vec>& data) {
  using H = Hnsw<float, D>;
  auto h = std::move(*H::create(8, data.size(), 16, 64));
  A::reseed(*h, 777);  // reproducible build (see SequentialAndParallelBuilds...)
  for (size_t i = 0; i < data.size(); ++i) ASSERT_TRUE(h->insert(data[i], i).has_value());
  size_t self = 0;  // each stored vector finds itself first
  for (size_t i = 0; i < data.size(); ++i) {
    auto hits = *h->search(data[i], 1, 64);
    if (!hits.empty() && hits[0].d_id == i) ++self;
  }
  EXPECT_GE(self, data.size() * 9 / 10) << D::kName;
  EXPECT_EQ(testing::check_graph(*h), "") << D::kName;
}

TEST(HnswRecallTest, EveryF32DistanceBuildsASearchableIndex) {
  auto data = random_vectors(500, 16, 3);
  for (auto& v : data) {  // histograms: valid for the divergences too
    float sum = 0;
    for (auto& x : v) sum += (x = std::fabs(x) + 0.01f);
    for (auto& x : v) x /= sum;
  }
  expect_searchable<dist::DistL1>(data);
  expect_searchable<dist::DistL2>(data);
  expect_searchable<dist::DistCosine>(data);
  expect_searchable<dist::DistHellinger>(data);
  expect_searchable<dist::DistJeffreys>(data);
  expect_searchable<dist::DistJensenShannon>(data);
  auto unit = random_vectors(500, 16, 4);
  for (auto& v : unit) {
    float n = 0;
    for (float x : v) n += x * x;
    for (auto& x : v) x /= std::sqrt(n);
  }
  expect_searchable<dist::DistDot>(unit);
}

}  // namespace
}  // namespace vantor

namespace vantor {
namespace {

// Tiny neighbour limits make full lists, and so trims, the common case:
// dropping a list's farthest entry used to cut its last in-link now and then.
// Every point must stay reachable from the entry point, sequentially built
// (seeded) or in parallel.
TEST(HnswReachabilityTest, TrimsNeverCutAPointOff) {
  for (uint32_t seed = 0; seed < 40; ++seed) {
    auto data = random_vectors(300, 2, 100 + seed);
    auto seq = make<L2>(seed % 3 + 1, 8);
    A::reseed(*seq, seed);
    for (size_t i = 0; i < data.size(); ++i) ASSERT_TRUE(seq->insert(data[i], i).has_value());
    ASSERT_EQ(testing::check_graph(*seq), "") << "seed " << seed;
    auto par = make<L2>(seed % 3 + 1, 8);
    std::vector<L2::InsertItem> items;
    for (size_t i = 0; i < data.size(); ++i) items.push_back({data[i], i});
    ASSERT_TRUE(par->parallel_insert(items).has_value());
    ASSERT_EQ(testing::check_graph(*par), "") << "parallel, seed " << seed;
  }
}

}  // namespace
}  // namespace vantor
