// Storage of the points of one index: dense indices 0, 1, 2, ... in creation
// order, kept in chunks that double in size so that an index never moves a
// point and readers find a point without any lock.
//
// Per point the arena holds a small record (lock, layer, rank, data id, list
// sizes), the vector, the distance's cached per-vector value and the layer-0
// neighbour list inline with room for 2 * max_nb_connection + 1 entries (the
// limit plus the one entry a reverse update appends before trimming). Lists of
// higher layers are allocated when a point first gets a link there.
//
// Vectors are stored inline (every point has the arena's dimension) or, in
// referenced mode, through a per-point reference: to a copy the arena owns
// (vectors of varying length) or to memory the arena's owner keeps alive (a
// memory-mapped dump). Readers get a pointer either way.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

#include "hnsw/hnsw/heap.h"
#include "hnsw/hnsw/rw_spin_lock.h"
#include "hnsw/hnsw/upper_lists.h"

namespace vantor {

inline constexpr uint64_t NB_MAX_LAYER = 16;

struct PointRecord {
  mutable RwSpinLock lock;  // guards the sizes and every list of the point
  uint16_t l0_size = 0;
  uint8_t layer = 0;
  uint8_t n_upper = 0;  // upper[l - 1] is the list of layer l, for l <= n_upper
  int32_t rank = 0;
  uint64_t origin_id = 0;
  UpperList* upper = nullptr;
  // The one in-link that keeps this point reachable (see Hnsw: anchors):
  // 0 while it has none, kRootAnchor for the first entry point, otherwise
  // the owner and layer of the list that holds it. Written under the owner's
  // lock; read by trims of any list.
  std::atomic<uint64_t> anchor{0};
  // An entry point's protected link to the entry point it replaced:
  // prev_entry + 1 (0 for none) on layer prev_entry_layer. Guarded by lock.
  uint32_t prev_entry_plus1 = 0;
  uint8_t prev_entry_layer = 0;
};

inline constexpr uint64_t kRootAnchor = ~uint64_t{0};
inline uint64_t pack_anchor(uint32_t owner, uint64_t layer) { return (uint64_t{owner} + 1) << 8 | layer; }

template <class T, class Aux>
class PointArena {
 public:
  static constexpr bool kStoresData = !std::is_empty_v<T>;
  static constexpr bool kInlineAux = kStoresData && !std::is_empty_v<Aux>;
  static constexpr unsigned kBaseBits = 10;  // the first chunk holds 1024 points
  static constexpr unsigned kMaxChunks = 32;

  PointArena(size_t dim_hint, size_t l0_capacity) : l0_cap_(l0_capacity) { (void)dim_hint; }
  PointArena(const PointArena&) = delete;
  PointArena& operator=(const PointArena&) = delete;

  ~PointArena() {
    for (unsigned k = 0; k < kMaxChunks; ++k) {
      Chunk* c = chunks_[k].load(std::memory_order_relaxed);
      if (!c) continue;
      size_t n = std::min<size_t>(c->cap, used_ > c->first ? used_ - c->first : 0);
      for (size_t i = 0; i < n; ++i) {
        upper_free(c->recs[i].upper, c->recs[i].n_upper);
        c->recs[i].~PointRecord();
        if constexpr (kStoresData) {
          auto* ref = reinterpret_cast<VecRef*>(c->vecs + i * stride_);
          if (referenced_ && ref->owned) delete[] ref->ptr;
        }
      }
      std::free(c->mem);
      delete c;
    }
  }

  // Fixes the vector length; once, before the first point is added. With
  // stored data, each point's cached distance value sits right after its
  // vector, so one stream of cache lines serves a distance evaluation.
  void set_dim(size_t dim, bool referenced = false) {
    dim_ = dim;
    referenced_ = referenced;
    if constexpr (kStoresData) {
      size_t a = std::max({alignof(Aux), alignof(T), referenced ? alignof(VecRef) : size_t{1}});
      size_t vec_bytes = referenced ? sizeof(VecRef) : dim * sizeof(T);
      aux_off_ = align_up(vec_bytes, a);
      stride_ = kInlineAux ? align_up(aux_off_ + sizeof(Aux), a) : align_up(vec_bytes, a);
    }
  }
  size_t dim() const { return dim_; }
  bool referenced() const { return referenced_; }

  // Makes room for point `idx` (the next dense index) and constructs its
  // record. Caller serialises calls. Returns false when memory runs out.
  bool add(size_t idx) {
    auto [k, off] = locate(idx);
    Chunk* c = chunks_[k].load(std::memory_order_relaxed);
    if (!c) {
      c = allocate_chunk(k);
      if (!c) return false;
      chunks_[k].store(c, std::memory_order_release);
    }
    new (&c->recs[off]) PointRecord();
    used_ = idx + 1;
    return true;
  }

  PointRecord& rec(size_t idx) const {
    auto [k, off] = locate(idx);
    return chunks_[k].load(std::memory_order_acquire)->recs[off];
  }
  const T* vec(size_t idx) const {
    if constexpr (!kStoresData) {
      return nullptr;
    } else {
      const unsigned char* slot = slot_of(idx);
      if (referenced_) return reinterpret_cast<const VecRef*>(slot)->ptr;
      return reinterpret_cast<const T*>(slot);
    }
  }
  // Element count of a point's vector.
  size_t len(size_t idx) const {
    if constexpr (kStoresData) {
      if (referenced_) return reinterpret_cast<const VecRef*>(slot_of(idx))->len;
    }
    return dim_;
  }
  // Stores a point's vector: a copy (inline, or owned by the arena in
  // referenced mode), or in referenced mode with copy == false a reference
  // to memory that outlives the arena. False when memory runs out.
  bool set_vector(size_t idx, const T* v, size_t n, bool copy = true) {
    if constexpr (kStoresData) {
      unsigned char* slot = slot_of(idx);
      if (!referenced_) {
        std::copy(v, v + n, reinterpret_cast<T*>(slot));
        return true;
      }
      auto* ref = reinterpret_cast<VecRef*>(slot);
      ref->len = n;
      ref->owned = copy;
      if (!copy) {
        ref->ptr = v;
        return true;
      }
      T* own = new (std::nothrow) T[n == 0 ? 1 : n];
      if (!own) return false;
      std::copy(v, v + n, own);
      ref->ptr = own;
    }
    return true;
  }
  Aux& aux(size_t idx) const {
    auto [k, off] = locate(idx);
    if constexpr (kInlineAux) {
      return *reinterpret_cast<Aux*>(chunks_[k].load(std::memory_order_acquire)->vecs + off * stride_ + aux_off_);
    } else {
      return chunks_[k].load(std::memory_order_acquire)->aux[off];
    }
  }
  Entry* l0(size_t idx) const {
    auto [k, off] = locate(idx);
    return chunks_[k].load(std::memory_order_acquire)->l0 + off * l0_cap_;
  }
  size_t l0_capacity() const { return l0_cap_; }

  // Bytes allocated for chunks (committed lazily by the kernel).
  size_t reserved_bytes() const {
    size_t total = 0;
    for (unsigned k = 0; k < kMaxChunks; ++k) {
      if (Chunk* c = chunks_[k].load(std::memory_order_relaxed)) total += c->bytes;
    }
    return total;
  }

 private:
  struct VecRef {
    const T* ptr;
    size_t len;
    bool owned;
  };

  unsigned char* slot_of(size_t idx) const {
    auto [k, off] = locate(idx);
    return chunks_[k].load(std::memory_order_acquire)->vecs + off * stride_;
  }

  struct Chunk {
    size_t first = 0;  // dense index of the chunk's first point
    size_t cap = 0;
    size_t bytes = 0;
    void* mem = nullptr;
    PointRecord* recs = nullptr;
    Aux* aux = nullptr;        // unless kInlineAux
    unsigned char* vecs = nullptr;  // stride_ bytes per point: vector, then Aux
    Entry* l0 = nullptr;
  };

  static std::pair<unsigned, size_t> locate(size_t idx) {
    size_t v = idx + (size_t{1} << kBaseBits);
    unsigned top = 63u - static_cast<unsigned>(__builtin_clzll(v));
    unsigned k = top - kBaseBits;
    return {k, v - (size_t{1} << top)};
  }

  static size_t align_up(size_t x, size_t a) { return (x + a - 1) / a * a; }
  static constexpr size_t kPage = 4096;
  static constexpr size_t kHugeAdviceBytes = size_t{8} << 20;

  Chunk* allocate_chunk(unsigned k) {
    if (k >= kMaxChunks) return nullptr;
    size_t cap = size_t{1} << (k + kBaseBits);
    size_t off_recs = 0;
    size_t off_aux = align_up(off_recs + cap * sizeof(PointRecord), 64);
    size_t off_vecs = align_up(off_aux + (kInlineAux ? 0 : cap * sizeof(Aux)), 64);
    size_t vec_bytes = kStoresData ? cap * stride_ : 0;
    size_t off_l0 = align_up(off_vecs + vec_bytes, 64);
    size_t bytes = off_l0 + cap * l0_cap_ * sizeof(Entry) + 64;
    // calloc: large chunks come straight from the kernel as zero pages and are
    // committed only as points fill them.
    void* mem = std::calloc(1, bytes);
    if (!mem) return nullptr;
    // Huge pages for large chunks: points fill them front to back, and one
    // fault per 2 MiB in place of 512 makes filling them (a reload above all)
    // several times faster. Advice only: its failure changes nothing.
    if (bytes >= kHugeAdviceBytes) {
      uintptr_t from = align_up(reinterpret_cast<uintptr_t>(mem), kPage);
      uintptr_t to = (reinterpret_cast<uintptr_t>(mem) + bytes) / kPage * kPage;
      (void)::madvise(reinterpret_cast<void*>(from), to - from, MADV_HUGEPAGE);
    }
    auto base = reinterpret_cast<uintptr_t>(mem);
    uintptr_t aligned = align_up(base, 64);
    auto* c = new (std::nothrow) Chunk();
    if (!c) {
      std::free(mem);
      return nullptr;
    }
    c->first = (size_t{1} << (k + kBaseBits)) - (size_t{1} << kBaseBits);
    c->cap = cap;
    c->bytes = bytes;
    c->mem = mem;
    c->recs = reinterpret_cast<PointRecord*>(aligned + off_recs);
    c->aux = reinterpret_cast<Aux*>(aligned + off_aux);
    c->vecs = reinterpret_cast<unsigned char*>(aligned + off_vecs);
    c->l0 = reinterpret_cast<Entry*>(aligned + off_l0);
    return c;
  }

  size_t dim_ = 0;
  bool referenced_ = false;
  size_t stride_ = 0;   // bytes per point in vecs
  size_t aux_off_ = 0;  // offset of the Aux within a point's bytes
  size_t l0_cap_;
  size_t used_ = 0;
  std::atomic<Chunk*> chunks_[kMaxChunks] = {};
};

}  // namespace vantor
