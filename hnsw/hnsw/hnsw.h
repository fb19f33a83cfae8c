// Vantor HNSW index: a layered proximity graph over vectors of one element
// type, compared by one distance. Every (element type, distance) pair is an
// instance of the template below; instances differ only in the distance.
//
// Points get a random layer (LayerSampler). On its own layer and every layer
// below, a new point is linked to the neighbours that a heuristic selects
// among the results of a layer search, and each of those neighbours links back
// to it on the same layer (trimmed to the layer's limit: max_nb_connection,
// twice that on layer 0). Searches start at the entry point
// on the highest occupied layer, descend greedily and finish with one layer
// search on the lowest occupied layer.
//
// Concurrency: any number of insert and search calls may run at once. Each
// point's neighbour lists sit behind one small reader-writer lock; no
// operation ever holds two point locks at once (a reverse update copies the
// new point's list, releases it, then locks each neighbour alone). The point
// table and the entry point have their own mutexes, never nested with a point
// lock.
//
// Input is checked before anything is stored: a vector of another length than
// the index's first vector (for distances defined on equal lengths only), or
// one its distance refuses (non-finite components, ...), is refused with an
// error and leaves the index unchanged.
#pragma once

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/float_text.h"
#include "common/log.h"
#include "hnsw/dist/distances.h"
#include "hnsw/hnsw/error.h"
#include "hnsw/hnsw/heap.h"
#include "hnsw/hnsw/layer_sampler.h"
#include "hnsw/hnsw/parallel.h"
#include "hnsw/hnsw/point_arena.h"
#include "hnsw/hnsw/point_id.h"

namespace vantor {

inline constexpr const char* kHnswTarget = "vantor::hnsw";
inline constexpr uint64_t kMaxNbConnection = 256;
inline constexpr uint64_t kProgressInterval = 50000;

#define VANTOR_LOG(level, ...) ZLOG(level, ::vantor::kHnswTarget, __VA_ARGS__)

template <class T, class D>
class Hnsw {
 public:
  using Elem = T;
  using Dist = D;
  using Aux = typename D::Aux;
  using InsertItem = std::pair<std::span<const T>, uint64_t>;

  // max_nb_connection: neighbour limit per layer (twice it on layer 0), at most
  // 256. nb_elements: expected number of points (a capacity hint).
  // max_layer: number of layers wanted, clamped to 16; at least 1.
  static Result<std::unique_ptr<Hnsw>> create(uint64_t max_nb_connection, uint64_t nb_elements,
                                              uint64_t max_layer, uint64_t ef_construction,
                                              D metric = D{}) {
    if (max_nb_connection > kMaxNbConnection) {
      return make_error(ErrorCode::InvalidConfig, "max_nb_connection must be less equal than 256");
    }
    if (max_layer == 0) {
      return make_error(ErrorCode::InvalidConfig, "the number of layers must be at least 1");
    }
    std::unique_ptr<Hnsw> h(
        new Hnsw(max_nb_connection, nb_elements, max_layer, ef_construction, std::move(metric)));
    VANTOR_LOG(Info, "Hnsw max_nb_connection {}", max_nb_connection);
    VANTOR_LOG(Info, "Hnsw nb elements {}", nb_elements);
    VANTOR_LOG(Info, "Hnsw ef_construction {}", ef_construction);
    VANTOR_LOG(Info, "Hnsw distance {}", dist::type_name_of(h->dist_));
    VANTOR_LOG(Info, "Hnsw extend candidates {}", false);
    return h;
  }

  Hnsw(const Hnsw&) = delete;
  Hnsw& operator=(const Hnsw&) = delete;
  ~Hnsw() { teardown(); }

  // Adds one vector with the caller's data id. The index keeps its own copy.
  Result<void> insert(std::span<const T> v, uint64_t origin_id) {
    if (auto r = admit_vector(v, true); !r) return r;
    if constexpr (!D::kEvaluable) {
      return insert_unevaluable(v, origin_id);
    } else {
      Aux va = D::aux(v.data(), v.size());
      auto created = create_point(v, va, origin_id);
      if (!created) return std::unexpected(created.error());
      return link(*created, v.data(), va);
    }
  }

  // Up to nb_neighbours hits by increasing distance.
  Result<std::vector<NeighbourHit>> search(std::span<const T> q, uint64_t nb_neighbours,
                                           uint64_t ef_search) const {
    if (auto r = admit_vector(q, false); !r) return std::unexpected(r.error());
    int64_t ep = entry_.load(std::memory_order_acquire);
    if (ep < 0) return std::vector<NeighbourHit>{};
    if constexpr (!D::kEvaluable) {
      D::report_refusal();
      return make_error(ErrorCode::DistanceFailed, std::string(D::kRefusal));
    } else {
      ScratchLease s(*this);
      return search_from(*s, q.data(), D::aux(q.data(), q.size()), static_cast<uint32_t>(ep),
                         nb_neighbours, ef_search);
    }
  }

  // Inserts every item on the data-parallel pool. All items are checked
  // first: one bad vector refuses the whole batch and the index is unchanged.
  Result<void> parallel_insert(std::span<const InsertItem> items) {
    VANTOR_LOG(Debug, "entering parallel_insert");
    if (!items.empty()) {
      for (const auto& it : items) {
        if (auto r = check_vector(it.first, batch_dim(items)); !r) return r;
      }
      std::atomic<bool> failed{false};
      std::mutex err_mu;
      std::optional<Error> first_error;
      parallel_for_each_index(items.size(), [&](size_t i) {
        if (failed.load(std::memory_order_relaxed)) return;
        auto r = insert(items[i].first, items[i].second);
        if (!r) {
          std::lock_guard<std::mutex> g(err_mu);
          if (!first_error) first_error = r.error();
          failed.store(true, std::memory_order_relaxed);
        }
      });
      if (first_error) return std::unexpected(*first_error);
    }
    VANTOR_LOG(Debug, "exiting parallel_insert");
    return {};
  }

  // One answer per query, in the order of the queries.
  Result<std::vector<std::vector<NeighbourHit>>> parallel_search(std::span<const std::span<const T>> queries,
                                                                 uint64_t nb_neighbours,
                                                                 uint64_t ef_search) const {
    std::vector<std::vector<NeighbourHit>> out(queries.size());
    std::atomic<bool> failed{false};
    std::mutex err_mu;
    std::optional<Error> first_error;
    // Each answer goes straight to its own slot: the order of the queries is
    // kept without a channel or a reordering pass.
    parallel_for_each_index(queries.size(), [&](size_t i) {
      if (failed.load(std::memory_order_relaxed)) return;
      auto r = search(queries[i], nb_neighbours, ef_search);
      if (!r) {
        std::lock_guard<std::mutex> g(err_mu);
        if (!first_error) first_error = r.error();
        failed.store(true, std::memory_order_relaxed);
        return;
      }
      out[i] = std::move(*r);
    });
    if (first_error) return std::unexpected(*first_error);
    return out;
  }

  // ---- introspection ------------------------------------------------------
  uint64_t max_nb_connection() const { return max_nb_connection_; }
  uint64_t ef_construction() const { return ef_construction_; }
  uint64_t nb_layer() const { return nb_layer_; }
  uint64_t nb_elements() const { return nb_elements_; }
  bool extend_candidates() const { return extend_candidates_; }
  const D& distance() const { return dist_; }
  uint64_t nb_point() const { return nb_point_.load(std::memory_order_acquire); }
  // Length every vector of the index has; nullopt before the first insert.
  std::optional<size_t> dimension() const {
    int64_t d = dim_.load(std::memory_order_acquire);
    return d < 0 ? std::nullopt : std::optional<size_t>(static_cast<size_t>(d));
  }
  uint64_t layer_point_count(uint64_t layer) const {
    return layer < nb_layer_ ? layer_count_[layer].load(std::memory_order_acquire) : 0;
  }
  std::optional<uint32_t> entry_index() const {
    int64_t e = entry_.load(std::memory_order_acquire);
    return e < 0 ? std::nullopt : std::optional<uint32_t>(static_cast<uint32_t>(e));
  }
  // Dense index of a point; points are numbered 0 .. nb_point() - 1 in
  // creation order.
  PointId point_id(uint32_t idx) const {
    const PointRecord& r = arena_.rec(idx);
    return PointId{r.layer, r.rank};
  }
  uint64_t origin_id(uint32_t idx) const { return arena_.rec(idx).origin_id; }
  std::span<const T> point_vector(uint32_t idx) const { return {arena_.vec(idx), arena_.len(idx)}; }
  // The factor that turns -ln(U) into a layer for new points.
  double level_scale() const { return sampler_.level_scale(); }
  // Whether the index was rebuilt from a dump.
  bool loaded_from_dump() const { return loaded_from_dump_; }
  // Dense indices of the points of one layer, in rank order, read under the
  // point table's lock; `f(layers)` runs while no point can be created.
  template <class F>
  auto with_layers(F&& f) const {
    std::lock_guard<std::mutex> g(points_mu_);
    return f(std::span<const std::vector<uint32_t>>(by_layer_));
  }

  // ---- reload -------------------------------------------------------------
  // A reloaded index is assembled by its loader before anyone else can see
  // it: points in file order (layer by layer, in rank order), then their
  // lists, then the entry point, which also rebuilds the anchors.

  // An empty index with a given level scale. `referenced`: vectors are held
  // by reference (restore_point with copy == false) or copied per point.
  static Result<std::unique_ptr<Hnsw>> create_for_reload(uint64_t max_nb_connection, uint64_t nb_layer,
                                                          uint64_t ef_construction, double level_scale,
                                                          size_t dim, bool referenced) {
    if (max_nb_connection > kMaxNbConnection || nb_layer == 0) {
      return make_error(ErrorCode::InvalidConfig, "invalid parameters in the dump");
    }
    std::unique_ptr<Hnsw> h(new Hnsw(max_nb_connection, 0, nb_layer, ef_construction, D{}));
    h->sampler_.set_level_scale(level_scale);
    h->extend_candidates_ = true;
    h->loaded_from_dump_ = true;
    h->arena_.set_dim(dim, referenced || !dist::fixed_length<D>());
    h->dim_.store(static_cast<int64_t>(dim), std::memory_order_relaxed);
    return h;
  }
  // Appends a point to `layer`; copy == false keeps a reference to v, which
  // must outlive the index (see hold()).
  Result<uint32_t> restore_point(std::span<const T> v, uint64_t origin_id, uint8_t layer, bool copy) {
    if (layer >= nb_layer_) return make_error(ErrorCode::InvalidVector, "point layer out of range");
    return create_point_at(v, D::aux(v.data(), v.size()), origin_id, layer, copy, false);
  }
  // Sets one list of a point (at most limit(layer) entries; sorted by
  // distance before the index is used).
  void restore_list(uint32_t idx, uint64_t layer, std::span<const Entry> entries) {
    PointRecord& r = arena_.rec(idx);
    std::lock_guard<RwSpinLock> g(r.lock);
    list_assign(idx, r, layer, entries);
  }
  // Room for n more points on `layer`.
  void reserve_layer(uint64_t layer, size_t n) {
    std::lock_guard<std::mutex> g(points_mu_);
    by_layer_[layer].reserve(by_layer_[layer].size() + n);
  }
  // One restored list of a point, writable in place: the loader resolves its
  // ids and order after every point exists, before the index is shared.
  std::span<Entry> restored_list(uint32_t idx, uint64_t layer) {
    PointRecord& r = arena_.rec(idx);
    if (layer == 0) return {arena_.l0(idx), r.l0_size};
    if (layer > r.n_upper) return {};
    UpperList& l = r.upper[layer - 1];
    return {l.data(), l.size};
  }
  // Sets the entry point and anchors every point reachable from it along a
  // breadth-first tree of the lists (each point's anchor is the list that
  // first reached it), so that later trims never cut a point off. Layer-0
  // lists come first, where searches end; then the lists of higher layers
  // reach what layer 0 does not.
  void restore_entry(uint32_t entry) {
    const size_t n = nb_point();
    std::vector<uint8_t> reached(n, 0);  // mirrors anchor != 0, in a compact array
    std::vector<uint32_t> queue;
    queue.reserve(n);
    queue.push_back(entry);
    reached[entry] = 1;
    arena_.rec(entry).anchor.store(kRootAnchor, std::memory_order_relaxed);
    auto visit = [&](uint32_t p, const PointRecord& r, uint64_t l) {
      for (const Entry& e : list_view(p, r, l)) {
        if (!reached[e.idx]) {
          reached[e.idx] = 1;
          arena_.rec(e.idx).anchor.store(pack_anchor(p, l), std::memory_order_relaxed);
          queue.push_back(e.idx);
        }
      }
    };
    // The queue runs ahead of its head: the lists to visit a few steps on
    // load while this one is visited.
    constexpr size_t kAhead = 8;
    for (size_t head = 0; head < queue.size(); ++head) {
      if (head + kAhead < queue.size()) {
        const Entry* ahead = arena_.l0(queue[head + kAhead]);
        __builtin_prefetch(&arena_.rec(queue[head + kAhead]));
        for (size_t b = 0; b < 256; b += 64) __builtin_prefetch(reinterpret_cast<const char*>(ahead) + b);
      }
      visit(queue[head], arena_.rec(queue[head]), 0);
    }
    // The points queued so far have had their layer-0 lists visited.
    const size_t layer0_done = queue.size();
    for (size_t head = 0; head < queue.size(); ++head) {
      if (head + kAhead < queue.size()) {
        const PointRecord& ahead = arena_.rec(queue[head + kAhead]);
        __builtin_prefetch(&ahead);
        if (head + kAhead / 2 < queue.size()) __builtin_prefetch(arena_.rec(queue[head + kAhead / 2]).upper);
      }
      const uint32_t p = queue[head];
      const PointRecord& r = arena_.rec(p);
      for (uint64_t l = head < layer0_done ? 1 : 0; l <= r.n_upper; ++l) visit(p, r, l);
    }
    entry_.store(entry, std::memory_order_release);
  }
  // Keeps `owner` alive as long as the index (the mapping its points view).
  void hold(std::shared_ptr<const void> owner) { held_.push_back(std::move(owner)); }
  // The neighbour limit of a layer's lists.
  uint64_t list_limit(uint64_t layer) const { return limit(layer); }
  // Dense index of the point at (layer, rank) of the per-layer lists.
  std::optional<uint32_t> index_of(PointId id) const {
    std::lock_guard<std::mutex> g(points_mu_);
    if (id.layer >= nb_layer_ || id.rank < 0 || static_cast<size_t>(id.rank) >= by_layer_[id.layer].size()) {
      return std::nullopt;
    }
    return by_layer_[id.layer][id.rank];
  }
  // A copy of one neighbour list of a point.
  std::vector<Entry> neighbours(uint32_t idx, uint64_t layer) const {
    const PointRecord& r = arena_.rec(idx);
    r.lock.lock_shared();
    std::span<const Entry> l = list_view(idx, r, layer);
    std::vector<Entry> out(l.begin(), l.end());
    r.lock.unlock_shared();
    return out;
  }
  size_t reserved_bytes() const { return arena_.reserved_bytes(); }

 private:
  friend struct HnswTestAccess;

  Hnsw(uint64_t max_nb_connection, uint64_t nb_elements, uint64_t max_layer, uint64_t ef_construction,
       D dist)
      : max_nb_connection_(max_nb_connection),
        nb_elements_(nb_elements),
        ef_construction_(ef_construction),
        nb_layer_(std::min<uint64_t>(max_layer, NB_MAX_LAYER)),
        dist_(std::move(dist)),
        sampler_(max_nb_connection, nb_layer_),
        arena_(0, 2 * max_nb_connection + 1),
        by_layer_(nb_layer_) {
    reserve_layers();
  }

  // Per-working-thread buffers, pooled per index.
  struct Scratch {
    std::vector<uint32_t> marks;
    uint32_t epoch = 0;
    std::vector<Entry> result, cand, sel;
    std::vector<uint32_t> ids;
    std::vector<const T*> rows;
    std::vector<Aux> auxes;
    std::vector<float> dists;
    std::vector<Entry> list_copy;
    std::vector<Entry> found;  // the last linking search's results (layer 0)

    void reset_visited(size_t n) {
      if (marks.size() < n) marks.resize(n + n / 2 + 1024, 0);
      if (++epoch == 0) {
        std::fill(marks.begin(), marks.end(), 0);
        epoch = 1;
      }
    }
    void reserve_marks(size_t n) {
      if (marks.size() < n) marks.resize(n + n / 2 + 1024, 0);
    }
    void prefetch_mark(uint32_t idx) const {
      if (idx < marks.size()) __builtin_prefetch(&marks[idx]);
    }
    // True when idx was not visited yet; marks it.
    bool visit(uint32_t idx) {
      if (idx >= marks.size()) marks.resize(size_t{idx} + idx / 2 + 1024, 0);
      if (marks[idx] == epoch) return false;
      marks[idx] = epoch;
      return true;
    }
  };

  class ScratchLease {
   public:
    explicit ScratchLease(const Hnsw& h) : h_(h) {
      std::lock_guard<std::mutex> g(h_.scratch_mu_);
      if (!h_.scratch_pool_.empty()) {
        s_ = std::move(h_.scratch_pool_.back());
        h_.scratch_pool_.pop_back();
      }
      if (!s_) s_ = std::make_unique<Scratch>();
    }
    ~ScratchLease() {
      std::lock_guard<std::mutex> g(h_.scratch_mu_);
      h_.scratch_pool_.push_back(std::move(s_));
    }
    Scratch& operator*() { return *s_; }

   private:
    const Hnsw& h_;
    std::unique_ptr<Scratch> s_;
  };

  // ---- input checks ----------------------------------------------------------

  static int64_t batch_dim(std::span<const InsertItem> items) { return static_cast<int64_t>(items[0].first.size()); }

  // A vector the index can store or search with; `want` is the length the
  // batch must have when the index has none yet.
  Result<void> check_vector(std::span<const T> v, int64_t want) const {
    int64_t d = dim_.load(std::memory_order_acquire);
    if (d < 0) d = want;
    if (dist::fixed_length<D>() && d >= 0 && static_cast<int64_t>(v.size()) != d) {
      return make_error(ErrorCode::InvalidVector,
                        fmt::format("vector length {} does not match the index dimension {}", v.size(), d));
    }
    if (auto e = D::check(v)) return make_error(ErrorCode::InvalidVector, *e);
    return {};
  }

  // Checks v; for an insert, the first vector fixes the index's dimension.
  Result<void> admit_vector(std::span<const T> v, bool fix_dim) {
    if (auto r = check_vector(v, -1); !r) return r;
    if (fix_dim && dim_.load(std::memory_order_acquire) < 0) {
      std::lock_guard<std::mutex> g(points_mu_);
      int64_t d = dim_.load(std::memory_order_relaxed);
      if (d < 0) {
        arena_.set_dim(v.size(), !dist::fixed_length<D>());
        dim_.store(static_cast<int64_t>(v.size()), std::memory_order_release);
      } else if (dist::fixed_length<D>() && static_cast<int64_t>(v.size()) != d) {
        return make_error(ErrorCode::InvalidVector,
                          fmt::format("vector length {} does not match the index dimension {}", v.size(), d));
      }
    }
    return {};
  }
  Result<void> admit_vector(std::span<const T> v, bool) const { return check_vector(v, -1); }

  // ---- point store -------------------------------------------------------------

  // Room per layer list for what the layer distribution puts there (with
  // margin), capped: the reservation is a hint only.
  void reserve_layers() {
    constexpr double kCap = 1 << 20;
    double m = static_cast<double>(max_nb_connection_);
    for (uint64_t l = 0; l < nb_layer_; ++l) {
      double p = m > 1.0 ? std::pow(m, -static_cast<double>(l)) : 1.0 / static_cast<double>(nb_layer_);
      double want = std::min(kCap, 1.1 * p * static_cast<double>(nb_elements_) + 16.0);
      by_layer_[l].reserve(static_cast<size_t>(want));
    }
  }

  // Stores a new point on a drawn layer; it has no links yet.
  Result<uint32_t> create_point(std::span<const T> v, const Aux& va, uint64_t origin_id) {
    uint64_t layer = sampler_.draw_layer();
    return create_point_at(v, va, origin_id, static_cast<uint8_t>(layer));
  }

  Result<uint32_t> create_point_at(std::span<const T> v, const Aux& va, uint64_t origin_id, uint8_t layer,
                                   bool copy = true, bool progress = true) {
    uint32_t idx;
    uint64_t n;
    int32_t rank;
    {
      std::lock_guard<std::mutex> g(points_mu_);
      auto& list = by_layer_[layer];
      uint64_t count = nb_point_.load(std::memory_order_relaxed);
      if (list.size() >= static_cast<size_t>(INT32_MAX) || count >= UINT32_MAX - 1) {
        return make_error(ErrorCode::CapacityExceeded, "the index cannot hold more points");
      }
      idx = static_cast<uint32_t>(count);
      if (!arena_.add(idx)) return make_error(ErrorCode::CapacityExceeded, "out of memory for a new point");
      if (!arena_.set_vector(idx, v.data(), v.size(), copy)) {
        return make_error(ErrorCode::CapacityExceeded, "out of memory for a new point");
      }
      rank = static_cast<int32_t>(list.size());
      PointRecord& r = arena_.rec(idx);
      r.layer = layer;
      r.rank = rank;
      r.origin_id = origin_id;
      arena_.aux(idx) = va;
      list.push_back(idx);
      layer_count_[layer].store(static_cast<uint32_t>(list.size()), std::memory_order_release);
      n = count + 1;
      nb_point_.store(n, std::memory_order_release);
    }
    VANTOR_LOG(Trace, "definitive pushing of point {}", PointId{layer, rank});
    if (progress && n % kProgressInterval == 0) {
      std::fputs(fmt::format(" setting number of points {} \n", n).c_str(), stdout);
      std::fflush(stdout);
    }
    VANTOR_LOG(Trace, " setting number of points {} ", fmt::format("RwLock {{ data: {} }}", n));
    return idx;
  }

  // Makes p the entry point when there is none or p lies on a higher layer.
  // The replaced entry point stays reachable through a protected link from
  // p (see anchors); when no list of p can take that link p is not promoted.
  void update_entry_point(uint32_t p, const T* v, const Aux& va) {
    VANTOR_LOG(Trace, "trying to get a lock on entry point");
    std::lock_guard<std::mutex> g(entry_mu_);
    int64_t e = entry_.load(std::memory_order_relaxed);
    PointId pid = point_id(p);
    if (e < 0) {
      VANTOR_LOG(Trace, "initializing entry point");
      VANTOR_LOG(Debug, "Hnsw  , inserting  entry point {} ", pid);
      arena_.rec(p).anchor.store(kRootAnchor, std::memory_order_release);
      entry_.store(p, std::memory_order_release);
    } else if (pid.layer > arena_.rec(static_cast<uint32_t>(e)).layer) {
      if (!protect_link(p, static_cast<uint32_t>(e), v, va)) return;
      VANTOR_LOG(Debug, "Hnsw  , inserting  entry point {} ", pid);
      VANTOR_LOG(Debug, "PointIndexation insert setting max level from {} to {}",
                 static_cast<unsigned>(arena_.rec(static_cast<uint32_t>(e)).layer), static_cast<unsigned>(pid.layer));
      entry_.store(p, std::memory_order_release);
    }
  }

  // Marks p's link to e (the entry point p replaces) as protected, adding it
  // to p's list of its own layer when no list of p holds it.
  bool protect_link(uint32_t p, uint32_t e, const T* v, const Aux& va) {
    PointRecord& pr = arena_.rec(p);
    const uint64_t L = pr.layer;
    float d = dist_to(v, va, e);
    std::lock_guard<RwSpinLock> g(pr.lock);
    for (uint64_t l = 0; l <= L; ++l) {
      for (const Entry& x : list_view(p, pr, l)) {
        if (x.idx == e) {
          pr.prev_entry_plus1 = e + 1;
          pr.prev_entry_layer = static_cast<uint8_t>(l);
          return true;
        }
      }
    }
    if (!list_add_protected(p, pr, L, Entry{e, d}, limit(L))) return false;
    pr.prev_entry_plus1 = e + 1;
    pr.prev_entry_layer = static_cast<uint8_t>(L);
    return true;
  }

  // The entry point, installing p when there is none yet (then -1). Deciding
  // under the entry lock links every point but the one that becomes the entry.
  int64_t entry_or_install(uint32_t p) {
    VANTOR_LOG(Trace, "trying to get a lock on entry point");
    std::lock_guard<std::mutex> g(entry_mu_);
    int64_t e = entry_.load(std::memory_order_relaxed);
    if (e >= 0) return e;
    VANTOR_LOG(Trace, "initializing entry point");
    VANTOR_LOG(Debug, "Hnsw  , inserting  entry point {} ", point_id(p));
    arena_.rec(p).anchor.store(kRootAnchor, std::memory_order_release);
    entry_.store(p, std::memory_order_release);
    return -1;
  }

  // ---- neighbour lists (caller holds the point's lock) ----------------------------

  uint64_t limit(uint64_t layer) const { return layer == 0 ? 2 * max_nb_connection_ : max_nb_connection_; }

  std::span<const Entry> list_view(uint32_t idx, const PointRecord& r, uint64_t layer) const {
    if (layer == 0) return {arena_.l0(idx), r.l0_size};
    if (layer > r.n_upper) return {};
    const UpperList& l = r.upper[layer - 1];
    return {l.data(), l.size};
  }
  UpperList& upper_list(PointRecord& r, uint64_t layer) {
    if (layer > r.n_upper) {
      auto* grown = new UpperList[layer];
      if (r.upper) std::memcpy(static_cast<void*>(grown), r.upper, sizeof(UpperList) * r.n_upper);
      delete[] r.upper;
      r.upper = grown;
      r.n_upper = static_cast<uint8_t>(layer);
    }
    return r.upper[layer - 1];
  }
  void list_assign(uint32_t idx, PointRecord& r, uint64_t layer, std::span<const Entry> s) {
    if (layer == 0) {
      std::copy(s.begin(), s.end(), arena_.l0(idx));
      r.l0_size = static_cast<uint16_t>(s.size());
    } else {
      if (s.empty() && layer > r.n_upper) return;
      UpperList& l = upper_list(r, layer);
      std::copy(s.begin(), s.end(), upper_reserve(l, s.size()));
      l.size = static_cast<uint32_t>(s.size());
    }
  }
  // Anchors: every point but the first entry point keeps one in-link, its
  // anchor, and every entry point keeps its link to the entry point it
  // replaced. A point anchors only in the list of a point that is anchored
  // already, so anchors form a tree under the first entry point, and the
  // protected links lead from the current entry point back to it: every point
  // stays reachable from the entry point.
  //
  // A trim drops the farthest entry as usual. When that entry is the list's
  // anchor, the anchor first moves to another list that holds the point on
  // the same layer (one of its neighbours' lists, owner anchored and not
  // below the point in the tree); only when there is none does the trim keep
  // it and drop the next farthest instead.
  bool is_protected(uint32_t owner, PointRecord& r, uint64_t layer, uint32_t x) {
    if (r.prev_entry_plus1 == x + 1 && r.prev_entry_layer == layer) return true;
    if (arena_.rec(x).anchor.load(std::memory_order_acquire) != pack_anchor(owner, layer)) return false;
    return !move_anchor(x, owner, layer);
  }

  static uint32_t anchor_owner(uint64_t a) { return static_cast<uint32_t>((a >> 8) - 1); }

  // Moves x's anchor away from owner's list of `layer` (whose lock the caller
  // holds). Anchor moves are serialised, so the tree walk sees a stable
  // tree; other point locks are only tried, never waited for.
  bool move_anchor(uint32_t x, uint32_t owner, uint64_t layer) {
    std::lock_guard<std::mutex> g(anchor_mu_);
    PointRecord& xr = arena_.rec(x);
    std::vector<uint32_t> near;
    if (!xr.lock.try_lock_shared()) return false;
    for (const Entry& e : list_view(x, xr, layer)) near.push_back(e.idx);
    xr.lock.unlock_shared();
    for (uint32_t y : near) {
      if (y == owner || y == x) continue;
      PointRecord& yr = arena_.rec(y);
      if (yr.anchor.load(std::memory_order_acquire) == 0 || under(y, x)) continue;
      if (!yr.lock.try_lock_shared()) continue;
      bool holds = false;
      for (const Entry& e : list_view(y, yr, layer)) holds = holds || e.idx == x;
      // Set while y's list cannot change: no trim can drop x from it first.
      if (holds) xr.anchor.store(pack_anchor(y, layer), std::memory_order_release);
      yr.lock.unlock_shared();
      if (holds) return true;
    }
    return false;
  }

  // Whether y lies in the anchor subtree of x (or the walk is too long to
  // tell, which counts as yes).
  bool under(uint32_t y, uint32_t x) const {
    uint32_t at = y;
    for (int steps = 0; steps < 256; ++steps) {
      if (at == x) return true;
      uint64_t a = arena_.rec(at).anchor.load(std::memory_order_acquire);
      if (a == kRootAnchor) return false;
      if (a == 0) return true;
      at = anchor_owner(a);
    }
    return true;
  }

  // Adds p (kept sorted, after entries of equal distance) unless the list
  // already names it; beyond the limit the farthest unprotected entry goes
  // (p itself when it is the farthest). True when p is in the list after.
  bool list_add_reverse(uint32_t idx, PointRecord& r, uint64_t layer, Entry p, uint64_t lim) {
    return list_add(idx, r, layer, p, lim, false);
  }
  // As list_add_reverse, but p itself is never the one dropped; false (and
  // the list unchanged) when every other entry is protected.
  bool list_add_protected(uint32_t idx, PointRecord& r, uint64_t layer, Entry p, uint64_t lim) {
    return list_add(idx, r, layer, p, lim, true);
  }
  bool list_add(uint32_t idx, PointRecord& r, uint64_t layer, Entry p, uint64_t lim, bool keep_p) {
    bool present = true;
    auto insert_sorted = [&](Entry* d, size_t n) -> size_t {
      for (size_t i = 0; i < n; ++i) {
        if (d[i].idx == p.idx) return n;
      }
      size_t pos = n;  // after the entries of equal distance
      while (pos > 0 && dist_less(p.dist, d[pos - 1].dist)) --pos;
      if (n + 1 > lim) {
        // In the list with p at pos, the farthest entry that may go.
        size_t drop = n + 1;
        for (size_t c = n + 1; c-- > 0;) {
          bool kept = c == pos ? keep_p : is_protected(idx, r, layer, d[c < pos ? c : c - 1].idx);
          if (!kept) {
            drop = c;
            break;
          }
        }
        if (drop == n + 1 || drop == pos) {
          present = false;
          return n;
        }
        size_t victim = drop < pos ? drop : drop - 1;
        for (size_t i = victim; i + 1 < n; ++i) d[i] = d[i + 1];
        --n;
        if (victim < pos) --pos;
      }
      for (size_t i = n; i > pos; --i) d[i] = d[i - 1];
      d[pos] = p;
      return n + 1;
    };
    if (layer == 0) {
      r.l0_size = static_cast<uint16_t>(insert_sorted(arena_.l0(idx), r.l0_size));
    } else {
      UpperList& l = upper_list(r, layer);
      l.size = static_cast<uint32_t>(insert_sorted(upper_reserve(l, l.size + 1), l.size));
    }
    return present;
  }

  // ---- distances ---------------------------------------------------------------------

  float dist_to(const T* q, const Aux& qa, uint32_t idx) const {
    return dist_.eval_n(q, qa, arena_.vec(idx), arena_.aux(idx), dim());
  }
  // s.dists[j] = distance from q to s.ids[j], for j in [0, s.ids.size()).
  void dists_to(Scratch& s, const T* q, const Aux& qa) const {
    size_t n = s.ids.size();
    s.rows.resize(n);
    s.auxes.resize(n);
    s.dists.resize(n);
    for (size_t j = 0; j < n; ++j) {
      s.rows[j] = arena_.vec(s.ids[j]);
      s.auxes[j] = arena_.aux(s.ids[j]);
    }
    dist_.eval_batch(q, qa, s.rows.data(), s.auxes.data(), n, dim(), s.dists.data());
  }
  size_t dim() const { return arena_.dim(); }

  static bool bad_distance(float d) { return !(d >= 0.0f); }
  static Error distance_error(float d) {
    return Error{ErrorCode::DistanceFailed, fmt::format("the distance returned {}, not a number >= 0", d)};
  }

  // ---- layer search ----------------------------------------------------------------------

  // Best-first search of one layer from ep; leaves up to max(ef, 1) records
  // in s.result, in heap order (farthest on top).
  Result<void> search_layer(Scratch& s, const T* q, const Aux& qa, uint32_t ep, uint64_t ef,
                            uint64_t layer) const {
    s.result.clear();
    s.cand.clear();
    const bool trace = zudizid::log::enabled(zudizid::log::Level::Trace);
    if (trace) VANTOR_LOG(Trace, "entering search_layer with entry_point_id {} layer : {} ef {} ", point_id(ep), layer, ef);
    if (layer_point_count(layer) == 0) {
      if (trace) VANTOR_LOG(Trace, "search layer {}, empty layer", layer);
      return {};
    }
    float d0 = dist_to(q, qa, ep);
    if constexpr (D::kChecked) {
      if (bad_distance(d0)) return std::unexpected(distance_error(d0));
    }
    if (trace) VANTOR_LOG(Trace, "       distance to entry point: {} ", zudizid::common::float32_debug(d0));
    s.reset_visited(nb_point());
    s.visit(ep);
    heap::push(s.cand, Entry{ep, -d0});
    heap::push(s.result, Entry{ep, d0});
    while (!s.cand.empty()) {
      Entry c = heap::pop(s.cand);
      const Entry& f = s.result[0];
      if (trace) VANTOR_LOG(Trace, "Comparaing c : {} f : {}", zudizid::common::float32_debug(-c.dist), zudizid::common::float32_debug(f.dist));
      if (-c.dist > f.dist) {
        if (trace) {
          VANTOR_LOG(Trace, "Fast return from search_layer, nb points : {} \n \t c {} \n \t f {} dists: {}  {}",
                     s.result.size(), point_id(c.idx), point_id(f.idx), zudizid::common::float32_debug(-c.dist),
                     zudizid::common::float32_debug(f.dist));
        }
        return {};
      }
      s.ids.clear();
      {
        const PointRecord& r = arena_.rec(c.idx);
        r.lock.lock_shared();
        std::span<const Entry> l = list_view(c.idx, r, layer);
        if (trace) VANTOR_LOG(Trace, "       search_layer, {} has  nb neighbours  : {} ", point_id(c.idx), l.size());
        s.reserve_marks(nb_point());
        for (const Entry& e : l) s.prefetch_mark(e.idx);
        for (const Entry& e : l) {
          if (s.visit(e.idx)) {
            __builtin_prefetch(arena_.vec(e.idx));
            __builtin_prefetch(&arena_.aux(e.idx));
            s.ids.push_back(e.idx);
          }
        }
        r.lock.unlock_shared();
      }
      // The likely next candidate's record and list load while this one's
      // distances are computed.
      if (!s.cand.empty()) {
        uint32_t next = s.cand[0].idx;
        __builtin_prefetch(&arena_.rec(next));
        if (layer == 0) __builtin_prefetch(arena_.l0(next));
      }
      if (s.ids.empty()) continue;
      dists_to(s, q, qa);
      for (size_t j = 0; j < s.ids.size(); ++j) {
        float d = s.dists[j];
        if constexpr (D::kChecked) {
          if (bad_distance(d)) return std::unexpected(distance_error(d));
        }
        if (trace) VANTOR_LOG(Trace, "             visited insertion {}", point_id(s.ids[j]));
        if (s.result[0].dist > d || s.result.size() < ef) {
          if (trace) VANTOR_LOG(Trace, "                inserting new candidate {}", point_id(s.ids[j]));
          heap::push(s.cand, Entry{s.ids[j], -d});
          heap::push(s.result, Entry{s.ids[j], d});
          if (s.result.size() > ef) heap::pop(s.result);
        }
      }
    }
    if (trace) VANTOR_LOG(Trace, "return from search_layer, nb points : {}", s.result.size());
    return {};
  }

  // ---- k-NN search --------------------------------------------------------------------------

  Result<std::vector<NeighbourHit>> search_from(Scratch& s, const T* q, const Aux& qa, uint32_t ep,
                                                uint64_t nb_neighbours, uint64_t ef_search) const {
    float best = dist_to(q, qa, ep);
    if constexpr (D::kChecked) {
      if (bad_distance(best)) return std::unexpected(distance_error(best));
    }
    uint32_t pivot = ep;
    for (uint64_t l = arena_.rec(ep).layer; l >= 1; --l) {
      s.ids.clear();
      {
        const PointRecord& r = arena_.rec(pivot);
        r.lock.lock_shared();
        for (const Entry& e : list_view(pivot, r, l)) s.ids.push_back(e.idx);
        r.lock.unlock_shared();
      }
      dists_to(s, q, qa);
      uint32_t next = pivot;
      for (size_t j = 0; j < s.ids.size(); ++j) {
        if constexpr (D::kChecked) {
          if (bad_distance(s.dists[j])) return std::unexpected(distance_error(s.dists[j]));
        }
        if (best > s.dists[j]) {
          best = s.dists[j];
          next = s.ids[j];
        }
      }
      pivot = next;
    }
    uint64_t ef = std::max(ef_search, nb_neighbours);
    VANTOR_LOG(Debug, "pivot changed , current pivot {}", point_id(pivot));
    uint64_t h = 0;
    while (h < nb_layer_ && layer_point_count(h) == 0) ++h;
    if (h == nb_layer_) return std::vector<NeighbourHit>{};
    if (auto r = search_layer(s, q, qa, pivot, ef, h); !r) return std::unexpected(r.error());
    heap::sort(s.result);
    size_t n = std::min<uint64_t>(nb_neighbours, s.result.size());
    std::vector<NeighbourHit> hits;
    hits.reserve(n);
    for (size_t i = 0; i < n; ++i) {
      const Entry& e = s.result[i];
      hits.push_back(NeighbourHit{origin_id(e.idx), e.dist, point_id(e.idx)});
    }
    return hits;
  }

  // ---- insertion --------------------------------------------------------------------------------

  Result<void> link(uint32_t p, const T* v, const Aux& va) {
    const PointId pid = point_id(p);
    const uint64_t L = pid.layer;
    VANTOR_LOG(Trace, "Hnsw insert generated new point {} ", pid);
    int64_t e = entry_or_install(p);
    if (e < 0) return {};
    ScratchLease lease(*this);
    Scratch& s = *lease;
    uint32_t w = static_cast<uint32_t>(e);
    const uint64_t E = arena_.rec(w).layer;
    float best = dist_to(v, va, w);
    if constexpr (D::kChecked) {
      if (bad_distance(best)) return std::unexpected(distance_error(best));
    }
    PointRecord& pr = arena_.rec(p);
    s.found.clear();
    // Descent through the layers above the new point: one record per layer.
    for (uint64_t l = E; l > L; --l) {
      if (auto r = search_layer(s, v, va, w, 1, l); !r) return r;
      VANTOR_LOG(Trace, "in insert :search_layer layer {}, returned {} points ", l, s.result.size());
      if (s.result.empty()) {
        VANTOR_LOG(Trace, "layer still empty  {} : got null list", l);
        continue;
      }
      Entry x = s.result[0];
      pr.lock.lock();
      if (list_view(p, pr, l).size() < max_nb_connection_) {
        UpperList& ul = upper_list(pr, l);
        Entry* d = upper_reserve(ul, ul.size + 1);
        d[ul.size] = x;
        ++ul.size;
      }
      pr.lock.unlock();
      if (best > x.dist) {  // the record's distance is eval(v, x) itself
        best = x.dist;
        w = x.idx;
      }
    }
    // Linking on the new point's layers.
    for (uint64_t l = L + 1; l-- > 0;) {
      if (auto r = search_layer(s, v, va, w, ef_construction_, l); !r) return r;
      VANTOR_LOG(Trace, "in insert :search_layer layer {}, returned {} points ", l, s.result.size());
      s.cand.clear();
      if (l == 0) s.found.assign(s.result.begin(), s.result.end());
      for (const Entry& x : s.result) {
        if (bad_distance(x.dist)) return std::unexpected(distance_error(x.dist));
        heap::push(s.cand, Entry{x.idx, -x.dist});
      }
      VANTOR_LOG(Trace, "from_positive_binaryheap_to_negative_binary_heap nb points in out {} {} ",
                 s.result.size(), s.cand.size());
      if (s.cand.empty()) continue;
      if (auto r = select_neighbours(s, v, va, limit(l), l); !r) return r;
      if (s.sel.size() >= 2) {
        std::stable_sort(s.sel.begin(), s.sel.end(), [](const Entry& a, const Entry& b) { return dist_less(a.dist, b.dist); });
      }
      pr.lock.lock();
      list_assign(p, pr, l, s.sel);
      pr.lock.unlock();
      if (!s.sel.empty()) w = s.sel[0].idx;
    }
    bool anchored = reverse_update(s, p, L);
    if (!anchored && max_nb_connection_ > 0) adopt(s, p, v, va);
    update_entry_point(p, v, va);
    VANTOR_LOG(Trace, "Hnsw exiting insert new point {} ", pid);
    return {};
  }

  // Chooses up to m neighbours of v among the candidates in s.cand (a heap of
  // negated distances) into s.sel: all of them, nearest first, when they fit;
  // otherwise the heuristic keeps a candidate only when it is strictly nearer
  // to v than to every neighbour kept before it.
  Result<void> select_neighbours(Scratch& s, const T* v, const Aux& va, uint64_t m, uint64_t layer) {
    s.sel.clear();
    VANTOR_LOG(Trace, "entering select_neighbours : nb candidates: {}", s.cand.size());
    const bool extend = layer == 0 && extend_candidates_;
    if (s.cand.size() <= m && !extend) {
      while (!s.cand.empty()) {
        Entry c = heap::pop(s.cand);
        s.sel.push_back(Entry{c.idx, -c.dist});
      }
      return {};
    }
    if (s.cand.size() <= m && extend) extend_with_layer0_neighbours(s, v, va);
    const bool trace = zudizid::log::enabled(zudizid::log::Level::Trace);
    while (s.sel.size() < m && !s.cand.empty()) {
      Entry c = heap::pop(s.cand);
      float e = -c.dist;
      bool keep = true;
      // Distances from the candidate (first argument) to the kept entries, a
      // lane group at a time; the first kept entry at most e away rejects it.
      const T* cv = arena_.vec(c.idx);
      const Aux& ca = arena_.aux(c.idx);
      for (size_t j0 = 0; keep && j0 < s.sel.size(); j0 += kSelectGroup) {
        size_t cnt = std::min(kSelectGroup, s.sel.size() - j0);
        const T* rows[kSelectGroup];
        Aux auxes[kSelectGroup];
        float d[kSelectGroup];
        for (size_t k = 0; k < cnt; ++k) {
          rows[k] = arena_.vec(s.sel[j0 + k].idx);
          auxes[k] = arena_.aux(s.sel[j0 + k].idx);
        }
        dist_.eval_batch(cv, ca, rows, auxes, cnt, dim(), d);
        for (size_t k = 0; k < cnt; ++k) {
          if constexpr (D::kChecked) {
            if (bad_distance(d[k])) return std::unexpected(distance_error(d[k]));
          }
          if (e >= d[k]) {
            keep = false;
            break;
          }
        }
      }
      if (keep) {
        if (trace) VANTOR_LOG(Trace, "inserting neighbours : {} ", point_id(c.idx));
        s.sel.push_back(Entry{c.idx, e});
      } else if (trace) {
        VANTOR_LOG(Trace, "discarded neighbours : {} ", point_id(c.idx));
      }
    }
    if (trace) {
      VANTOR_LOG(Trace, "exiting select_neighbours : nb candidates: {}", s.sel.size());
      for (const Entry& x : s.sel) VANTOR_LOG(Trace, "   neighbours {} ", point_id(x.idx));
    }
    return {};
  }
  static constexpr size_t kSelectGroup = 8;

  // Adds the layer-0 neighbours of the candidates to the candidates (used by
  // reloaded indexes only).
  void extend_with_layer0_neighbours(Scratch& s, const T* v, const Aux& va) {
    std::unordered_set<uint32_t> cands;
    for (const Entry& c : s.cand) cands.insert(c.idx);
    std::vector<uint32_t> added;
    std::unordered_set<uint32_t> added_set;
    for (const Entry& c : std::vector<Entry>(s.cand)) {
      const PointRecord& r = arena_.rec(c.idx);
      r.lock.lock_shared();
      for (const Entry& x : list_view(c.idx, r, 0)) {
        if (!cands.count(x.idx) && added_set.insert(x.idx).second) added.push_back(x.idx);
      }
      r.lock.unlock_shared();
    }
    VANTOR_LOG(Trace, "select neighbours extend candidates from  : {} adding : {}", s.cand.size(), added.size());
    s.ids = added;
    dists_to(s, v, va);
    for (size_t j = 0; j < added.size(); ++j) heap::push(s.cand, Entry{added[j], -s.dists[j]});
  }

  // Links each neighbour back to p in its list of the layer on which it was
  // chosen (so a point on a high layer is also reachable on layer 0), kept
  // sorted and trimmed to that layer's limit. p's list is copied and released
  // before any neighbour is locked, so no thread ever holds two point locks.
  // p anchors in the first layer-0 list that keeps it and whose owner is
  // anchored (so the anchors join every point on layer 0, where searches
  // end); returns whether it did.
  bool reverse_update(Scratch& s, uint32_t p, uint64_t L) {
    VANTOR_LOG(Trace, "reverse update neighbourhood for  new point {} ", point_id(p));
    PointRecord& pr = arena_.rec(p);
    bool anchored = false;
    for (uint64_t l = L + 1; l-- > 0;) {
      pr.lock.lock_shared();
      std::span<const Entry> mine = list_view(p, pr, l);
      s.list_copy.assign(mine.begin(), mine.end());
      pr.lock.unlock_shared();
      for (const Entry& x : s.list_copy) {
        if (x.idx == p) continue;
        PointRecord& qr = arena_.rec(x.idx);
        qr.lock.lock();
        bool kept = list_add_reverse(x.idx, qr, l, Entry{p, x.dist}, limit(l));
        if (kept && !anchored && l == 0 && qr.anchor.load(std::memory_order_acquire) != 0) {
          pr.anchor.store(pack_anchor(x.idx, l), std::memory_order_release);
          anchored = true;
        }
        qr.lock.unlock();
      }
    }
    return anchored;
  }

  // Gives p an anchor when its reverse update found none: a protected place
  // in the layer-0 list of an anchored point, trying p's neighbours first,
  // then the other points its search found, nearest first, then any point.
  // Some anchored point always has room: anchored points hold 2 * M layer-0
  // slots each, against one protected slot per anchored point and one per
  // replaced entry point.
  void adopt(Scratch& s, uint32_t p, const T* v, const Aux& va) {
    PointRecord& pr = arena_.rec(p);
    const uint64_t L = pr.layer;
    s.list_copy.clear();
    pr.lock.lock_shared();
    for (uint64_t l = L + 1; l-- > 0;) {
      for (const Entry& x : list_view(p, pr, l)) s.list_copy.push_back(x);
    }
    pr.lock.unlock_shared();
    std::stable_sort(s.found.begin(), s.found.end(), [](const Entry& a, const Entry& b) { return dist_less(a.dist, b.dist); });
    s.list_copy.insert(s.list_copy.end(), s.found.begin(), s.found.end());
    for (const Entry& x : s.list_copy) {
      if (x.idx != p && try_anchor(p, x.idx, x.dist)) return;
    }
    for (;;) {
      uint64_t n = nb_point();
      for (uint32_t q = 0; q < n; ++q) {
        if (q != p && arena_.rec(q).anchor.load(std::memory_order_acquire) != 0 && try_anchor(p, q, dist_to(v, va, q))) {
          return;
        }
      }
      std::this_thread::yield();
    }
  }

  bool try_anchor(uint32_t p, uint32_t q, float d) {
    PointRecord& qr = arena_.rec(q);
    if (qr.anchor.load(std::memory_order_acquire) == 0) return false;
    std::lock_guard<RwSpinLock> g(qr.lock);
    if (!list_add_protected(q, qr, 0, Entry{p, d}, limit(0))) return false;
    arena_.rec(p).anchor.store(pack_anchor(q, 0), std::memory_order_release);
    VANTOR_LOG(Trace, "anchored point {} in the layer-0 list of {}", point_id(p), point_id(q));
    return true;
  }

  // The graph-only index: only a first point can be stored.
  Result<void> insert_unevaluable(std::span<const T> v, uint64_t origin_id) {
    if constexpr (!D::kEvaluable) {
      std::lock_guard<std::mutex> g(entry_mu_);
      if (entry_.load(std::memory_order_relaxed) >= 0 || nb_point() > 0) {
        D::report_refusal();
        return make_error(ErrorCode::DistanceFailed, std::string(D::kRefusal));
      }
      auto created = create_point(v, Aux{}, origin_id);
      if (!created) return std::unexpected(created.error());
      VANTOR_LOG(Trace, "Hnsw insert generated new point {} ", point_id(*created));
      VANTOR_LOG(Trace, "initializing entry point");
      VANTOR_LOG(Debug, "Hnsw  , inserting  entry point {} ", point_id(*created));
      arena_.rec(*created).anchor.store(kRootAnchor, std::memory_order_release);
      entry_.store(*created, std::memory_order_release);
    }
    return {};
  }

  void teardown() {
    auto wall0 = std::chrono::steady_clock::now();
    std::clock_t cpu0 = std::clock();
    VANTOR_LOG(Info, "entering PointIndexation drop");
    int64_t e = entry_.load();
    uint64_t top = e < 0 ? 0 : arena_.rec(static_cast<uint32_t>(e)).layer;
    for (uint64_t l = 0; l <= top && l < nb_layer_; ++l) VANTOR_LOG(Trace, "clearing layer {}", l);
    VANTOR_LOG(Debug, "clearing self.points_by_layer...");
    VANTOR_LOG(Debug, "exiting PointIndexation drop");
    if (zudizid::log::enabled(zudizid::log::Level::Info)) {
      auto wall = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - wall0).count();
      std::clock_t cpu1 = std::clock();
      long cpu = (cpu0 == static_cast<std::clock_t>(-1) || cpu1 == static_cast<std::clock_t>(-1))
                     ? 0
                     : static_cast<long>((cpu1 - cpu0) / CLOCKS_PER_SEC);
      VANTOR_LOG(Info, " drop sys time(s) {} cpu time {}", wall, cpu);
    }
    // The arena frees every point and list when it is destroyed.
  }

  const uint64_t max_nb_connection_;
  const uint64_t nb_elements_;
  const uint64_t ef_construction_;
  const uint64_t nb_layer_;
  bool extend_candidates_ = false;
  bool loaded_from_dump_ = false;
  std::vector<std::shared_ptr<const void>> held_;  // released after the arena (declared first)
  D dist_;
  LayerSampler sampler_;

  mutable std::mutex points_mu_;  // by_layer_, point creation, dimension
  PointArena<T, Aux> arena_;
  std::vector<std::vector<uint32_t>> by_layer_;
  std::atomic<uint32_t> layer_count_[NB_MAX_LAYER] = {};
  std::atomic<uint64_t> nb_point_{0};
  std::atomic<int64_t> dim_{-1};

  std::mutex entry_mu_;  // decisions on the entry point; readers load entry_
  std::atomic<int64_t> entry_{-1};

  std::mutex anchor_mu_;  // anchor moves

  mutable std::mutex scratch_mu_;
  mutable std::vector<std::unique_ptr<Scratch>> scratch_pool_;
};

// The f32 instances, compiled once in instances.cc.
extern template class Hnsw<float, dist::DistL1>;
extern template class Hnsw<float, dist::DistL2>;
extern template class Hnsw<float, dist::DistDot>;
extern template class Hnsw<float, dist::DistCosine>;
extern template class Hnsw<float, dist::DistHellinger>;
extern template class Hnsw<float, dist::DistJeffreys>;
extern template class Hnsw<float, dist::DistJensenShannon>;
extern template class Hnsw<float, dist::DistCFFI<float>>;
extern template class Hnsw<dist::NoData, dist::NoDist>;
// The integer instances, one per file (instance_<type>_<distance>.cc).
extern template class Hnsw<dist::i32, dist::DistL1>;
extern template class Hnsw<dist::i32, dist::DistL2>;
extern template class Hnsw<dist::i32, dist::DistHamming>;
extern template class Hnsw<dist::i32, dist::DistCFFI<dist::i32>>;
extern template class Hnsw<dist::u16, dist::DistL1>;
extern template class Hnsw<dist::u16, dist::DistL2>;
extern template class Hnsw<dist::u16, dist::DistHamming>;
extern template class Hnsw<dist::u16, dist::DistJaccard>;
extern template class Hnsw<dist::u16, dist::DistLevenshtein>;
extern template class Hnsw<dist::u16, dist::DistCFFI<dist::u16>>;
extern template class Hnsw<dist::u32, dist::DistL1>;
extern template class Hnsw<dist::u32, dist::DistL2>;
extern template class Hnsw<dist::u32, dist::DistHamming>;
extern template class Hnsw<dist::u32, dist::DistJaccard>;
extern template class Hnsw<dist::u32, dist::DistCFFI<dist::u32>>;
extern template class Hnsw<dist::u8, dist::DistL1>;
extern template class Hnsw<dist::u8, dist::DistL2>;
extern template class Hnsw<dist::u8, dist::DistHamming>;
extern template class Hnsw<dist::u8, dist::DistJaccard>;
extern template class Hnsw<dist::u8, dist::DistCFFI<dist::u8>>;

using HnswCosine = Hnsw<float, dist::DistCosine>;

}  // namespace vantor
