// The operations behind a C handle: one implementation per (element type,
// distance) pair, reached through VectorIndexOps so the C calls need not
// know either. Elements arrive as untyped pointers; the C calls check the
// handle's element type before they hand them on.
#pragma once

#include <fmt/format.h>

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/log.h"
#include "hnsw/api/dump.h"
#include "hnsw/hnsw/hnsw.h"
#include "hnsw/hnswio/hnswio.h"
#include "hnsw/hnswio/reload.h"

namespace vantor::libext {

inline constexpr const char* kTarget = "vantor::libext";

enum class ElemType { F32, I32, U16, U32, U8, NoData };

template <class T> constexpr ElemType elem_type_of();
template <> constexpr ElemType elem_type_of<float>() { return ElemType::F32; }
template <> constexpr ElemType elem_type_of<dist::i32>() { return ElemType::I32; }
template <> constexpr ElemType elem_type_of<dist::u16>() { return ElemType::U16; }
template <> constexpr ElemType elem_type_of<dist::u32>() { return ElemType::U32; }
template <> constexpr ElemType elem_type_of<dist::u8>() { return ElemType::U8; }
template <> constexpr ElemType elem_type_of<dist::NoData>() { return ElemType::NoData; }

using Hits = std::vector<NeighbourHit>;

class VectorIndexOps {
 public:
  virtual ~VectorIndexOps() = default;
  virtual ElemType elem() const = 0;
  virtual Result<void> insert(const void* v, size_t len, uint64_t id) = 0;
  virtual Result<Hits> search(const void* q, size_t len, size_t nb_neighbours, size_t ef_search) const = 0;
  // `vs` holds nb pointers to len elements each.
  virtual Result<void> parallel_insert(const void* const* vs, size_t nb, size_t len, const size_t* ids) = 0;
  virtual Result<std::vector<Hits>> parallel_search(const void* const* qs, size_t nb, size_t len,
                                                    size_t nb_neighbours, size_t ef_search) const = 0;
  virtual Result<std::string> file_dump(const std::string& dir, const std::string& basename) const = 0;
};

template <class T, class D>
class IndexOps final : public VectorIndexOps {
 public:
  explicit IndexOps(std::unique_ptr<Hnsw<T, D>> h) : h_(std::move(h)) {}
  ElemType elem() const override { return elem_type_of<T>(); }

  Result<void> insert(const void* v, size_t len, uint64_t id) override { return h_->insert(span(v, len), id); }
  Result<Hits> search(const void* q, size_t len, size_t k, size_t ef) const override {
    return h_->search(span(q, len), k, ef);
  }
  Result<void> parallel_insert(const void* const* vs, size_t nb, size_t len, const size_t* ids) override {
    auto copies = copy_all(vs, nb, len);
    if (!copies) return std::unexpected(copies.error());
    std::vector<typename Hnsw<T, D>::InsertItem> items;
    items.reserve(nb);
    for (size_t i = 0; i < nb; ++i) items.emplace_back(std::span<const T>(copies->data() + i * len, len), ids[i]);
    return h_->parallel_insert(items);
  }
  Result<std::vector<Hits>> parallel_search(const void* const* qs, size_t nb, size_t len, size_t k,
                                            size_t ef) const override {
    auto copies = copy_all(qs, nb, len);
    if (!copies) return std::unexpected(copies.error());
    std::vector<std::span<const T>> queries;
    queries.reserve(nb);
    for (size_t i = 0; i < nb; ++i) queries.emplace_back(copies->data() + i * len, len);
    return h_->parallel_search(queries, k, ef);
  }
  Result<std::string> file_dump(const std::string& dir, const std::string& basename) const override {
    return api::file_dump(*h_, dir, basename);
  }

 private:
  static std::span<const T> span(const void* p, size_t len) {
    if constexpr (std::is_empty_v<T>) {
      return {static_cast<const T*>(nullptr), 0};
    } else {
      return {static_cast<const T*>(p), len};
    }
  }
  // The pool's workers read copies, never the caller's memory.
  static Result<std::vector<T>> copy_all(const void* const* vs, size_t nb, size_t len) {
    std::vector<T> out;
    if constexpr (!std::is_empty_v<T>) {
      if (len != 0 && nb > SIZE_MAX / sizeof(T) / len) {
        return make_error(ErrorCode::InvalidVector, "the vectors do not fit in memory");
      }
      out.resize(nb * len);
      for (size_t i = 0; i < nb; ++i) {
        const T* src = static_cast<const T*>(vs[i]);
        std::copy(src, src + len, out.data() + i * len);
      }
    }
    return out;
  }

  std::unique_ptr<Hnsw<T, D>> h_;
};

// Builds an index and wraps it; NULL (with the construction's refusal on
// standard output) when it cannot be built.
template <class T, class D>
std::unique_ptr<VectorIndexOps> make_ops(uint64_t m, uint64_t ef, uint64_t nb_elements, uint64_t max_layer,
                                         D metric = D{}) {
  auto h = Hnsw<T, D>::create(m, nb_elements, max_layer, ef, std::move(metric));
  if (!h) {
    if (m > kMaxNbConnection) std::fputs("error max_nb_connection must be less equal than 256\n", stdout);
    ZLOG(Warn, kTarget, "could not create the index: {}", h.error().message);
    return nullptr;
  }
  return std::make_unique<IndexOps<T, D>>(std::move(*h));
}

// An index whose distance is the caller's function; null for a null one.
template <class T>
std::unique_ptr<VectorIndexOps> make_ptrdist(uint64_t m, uint64_t ef, dist::DistFn<T> fn) {
  ZLOG(Info, kTarget, "init_ hnsw_ptrdist: ptr  {:#x}", reinterpret_cast<uintptr_t>(fn));
  if (!fn) {
    ZLOG(Warn, kTarget, "a distance callback is required");
    return nullptr;
  }
  return make_ops<T, dist::DistCFFI<T>>(m, ef, 10000, NB_MAX_LAYER, dist::DistCFFI<T>{fn});  // 10000: capacity hint
}

// Reloads a dump through io; null with a warning when it cannot.
template <class T, class D>
std::unique_ptr<VectorIndexOps> reload_ops(hnswio::HnswIo& io) {
  auto h = hnswio::load_hnsw<T, D>(io);
  if (!h) {
    ZLOG(Warn, kTarget, "an error occured, could not reload data from {}", zudizid::common::debug_quote(io.basename));
    ZLOG(Debug, kTarget, "reload error: {}", h.error().message);
    return nullptr;
  }
  return std::make_unique<IndexOps<T, D>>(std::move(*h));
}

}  // namespace vantor::libext

// The C handle: owns one index through its operations.
struct HnswHandle {
  std::unique_ptr<vantor::libext::VectorIndexOps> index;
};
struct HnswIo {
  vantor::hnswio::HnswIo io;
};

namespace vantor::libext {
inline HnswHandle* wrap(std::unique_ptr<VectorIndexOps> ops) {
  if (!ops) return nullptr;
  return new HnswHandle{std::move(ops)};
}
}  // namespace vantor::libext
