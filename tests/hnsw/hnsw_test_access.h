// Test-only access to an index's internals: points on chosen layers, hand-set
// neighbour lists and entry point, and the raw layer search.
#pragma once

#include <span>
#include <vector>

#include "hnsw/hnsw/hnsw.h"

namespace vantor {

struct HnswTestAccess {
  // A stored point on `layer` with no links.
  template <class H>
  static uint32_t add(H& h, std::span<const typename H::Elem> v, uint64_t id, uint8_t layer) {
    auto ok = h.admit_vector(v, true);
    EXPECT_TRUE(ok.has_value());
    auto idx = h.create_point_at(v, H::Dist::aux(v.data(), v.size()), id, layer);
    EXPECT_TRUE(idx.has_value());
    return *idx;
  }
  // Inserts like `insert`, with the new point's layer chosen by the test.
  template <class H>
  static uint32_t insert_at(H& h, std::span<const typename H::Elem> v, uint64_t id, uint8_t layer) {
    uint32_t idx = add(h, v, id, layer);
    auto r = h.link(idx, v.data(), H::Dist::aux(v.data(), v.size()));
    EXPECT_TRUE(r.has_value());
    return idx;
  }
  template <class H>
  static void set_list(H& h, uint32_t idx, uint64_t layer, std::vector<Entry> entries) {
    PointRecord& r = h.arena_.rec(idx);
    r.lock.lock();
    h.list_assign(idx, r, layer, entries);
    r.lock.unlock();
  }
  template <class H>
  static void set_entry(H& h, uint32_t idx) {
    h.arena_.rec(idx).anchor.store(kRootAnchor);
    h.entry_.store(idx);
  }
  // Fixed layer draws: a sequential build becomes reproducible.
  template <class H>
  static void reseed(H& h, uint64_t seed) {
    h.sampler_.reseed({seed, seed ^ 0x9E3779B97F4A7C15ull, ~seed, seed * 3 + 1});
  }
  template <class H>
  static void set_extend_candidates(H& h, bool on) {
    h.extend_candidates_ = on;
  }
  // The layer search's result heap, in heap order.
  template <class H>
  static std::vector<Entry> search_layer(const H& h, std::span<const typename H::Elem> q, uint32_t ep,
                                         uint64_t ef, uint64_t layer) {
    typename H::ScratchLease lease(h);
    auto r = h.search_layer(*lease, q.data(), H::Dist::aux(q.data(), q.size()), ep, ef, layer);
    EXPECT_TRUE(r.has_value());
    return (*lease).result;
  }
};

}  // namespace vantor
