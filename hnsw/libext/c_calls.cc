// The exported C calls that do not depend on one element type's instances:
// creation by name, release, inserts, searches, dumps and reading a dump's
// header.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/utf8.h"
#include "hnsw/libext/by_name.h"
#include "hnsw/libext/index_ops.h"
#include "hnsw/libext/vantor.h"

using namespace vantor;
using namespace vantor::libext;

namespace {

std::string text(size_t len, const char* p) { return zudizid::common::utf8_lossy(std::string_view(p, len)); }

using ByName = std::unique_ptr<VectorIndexOps> (*)(const std::string&, uint64_t, uint64_t, uint64_t, uint64_t);

HnswHandle* create(const char* call, ByName by_name, size_t m, size_t ef, size_t name_len, const char* name,
                   size_t nb_elements, size_t max_layer) {
  ZLOG(Info, kTarget, "entering {}", call);
  std::string n = text(name_len, name);
  if (n == "DistL1") ZLOG(Info, kTarget, " received DistL1");
  if (m > kMaxNbConnection) {
    std::fputs("error max_nb_connection must be less equal than 256\n", stdout);
    return nullptr;
  }
  if (max_layer == 0) {
    ZLOG(Warn, kTarget, "{} needs at least one layer", call);
    return nullptr;
  }
  auto ops = by_name(n, m, ef, nb_elements, max_layer);
  if (!ops) ZLOG(Warn, kTarget, "{} received unknow distance {} ", call, n);
  return wrap(std::move(ops));
}

// The handle's index when it holds elements of type `want`.
VectorIndexOps* index_of(HnswHandle* h, ElemType want, const char* call) {
  if (!h || !h->index) return nullptr;
  if (h->index->elem() != want) {
    ZLOG(Warn, kTarget, "{} called with a handle of another element type", call);
    return nullptr;
  }
  return h->index.get();
}

// A C array of hits: NULL for none.
CNeighbour* c_hits(const Hits& hits) {
  if (hits.empty()) return nullptr;
  auto* out = static_cast<CNeighbour*>(std::malloc(hits.size() * sizeof(CNeighbour)));
  if (!out) std::abort();
  for (size_t i = 0; i < hits.size(); ++i) {
    out[i].id = hits[i].d_id;
    out[i].distance = hits[i].distance;
  }
  return out;
}

template <class R>
R* c_alloc() {
  auto* r = static_cast<R*>(std::calloc(1, sizeof(R)));
  if (!r) std::abort();
  return r;
}

char* c_copy(const std::string& s) {
  if (s.empty()) return nullptr;
  auto* p = static_cast<char*>(std::malloc(s.size()));
  if (!p) std::abort();
  std::memcpy(p, s.data(), s.size());
  return p;
}

void insert_one(HnswHandle* h, ElemType t, const char* call, size_t len, const void* data, size_t id) {
  ZLOG(Trace, kTarget, "{} len {} id {}", call, len, id);
  VectorIndexOps* ix = index_of(h, t, call);
  if (!ix) return;
  if (auto r = ix->insert(data, len, id); !r) ZLOG(Warn, kTarget, "{} refused: {}", call, r.error().message);
}

void insert_many(HnswHandle* h, ElemType t, const char* call, size_t nb, size_t len, const void* const* datas,
                 const size_t* ids) {
  ZLOG(Trace, kTarget, "{} vec_len {} nb_vec {}", call, len, nb);
  VectorIndexOps* ix = index_of(h, t, call);
  if (!ix || nb == 0) return;
  if (auto r = ix->parallel_insert(datas, nb, len, ids); !r) {
    ZLOG(Warn, kTarget, "{} refused: {}", call, r.error().message);
  }
  ZLOG(Trace, kTarget, "exiting parallel_insert");
}

CNeighbourList* search_one(HnswHandle* h, ElemType t, const char* call, size_t len, const void* data, size_t k,
                           size_t ef) {
  ZLOG(Trace, kTarget, "{} len {} nb_neighbours {} ef_search {}", call, len, k, ef);
  auto* out = c_alloc<CNeighbourList>();
  VectorIndexOps* ix = index_of(h, t, call);
  if (!ix) return out;
  auto hits = ix->search(data, len, k, ef);
  if (!hits) {
    ZLOG(Warn, kTarget, "{} refused: {}", call, hits.error().message);
    return out;
  }
  out->nb_neighbours = hits->size();
  out->neighbours = c_hits(*hits);
  ZLOG(Trace, kTarget, "{} found {} neighbours", call, out->nb_neighbours);
  return out;
}

CNeighbourLists* search_many(HnswHandle* h, ElemType t, const char* call, size_t nb, size_t len,
                             const void* const* datas, size_t k, size_t ef) {
  ZLOG(Trace, kTarget, "{} nb_vec {}", call, nb);
  auto* out = c_alloc<CNeighbourLists>();
  out->nb_lists = nb;
  if (nb == 0) return out;
  out->lists = static_cast<CNeighbourList*>(std::calloc(nb, sizeof(CNeighbourList)));
  if (!out->lists) std::abort();
  VectorIndexOps* ix = index_of(h, t, call);
  if (!ix) return out;
  auto all = ix->parallel_search(datas, nb, len, k, ef);
  if (!all) {
    ZLOG(Warn, kTarget, "{} refused: {}", call, all.error().message);
    return out;
  }
  for (size_t i = 0; i < nb; ++i) {
    out->lists[i].nb_neighbours = (*all)[i].size();
    out->lists[i].neighbours = c_hits((*all)[i]);
  }
  ZLOG(Trace, kTarget, "{} output rebuilt", call);
  return out;
}

int64_t dump(HnswHandle* h, size_t len, const char* basename) {
  ZLOG(Info, kTarget, "receiving request for file dump");
  if (!h || !h->index) return -1;
  auto r = h->index->file_dump(".", text(len, basename));
  if (!r) {
    ZLOG(Debug, kTarget, "dump failed: {}", r.error().message);
    return -1;
  }
  return 1;
}

}  // namespace

extern "C" {

HnswHandle* init_hnsw_f32(size_t m, size_t ef, size_t len, const char* name) {
  return create("init_hnsw_f32", make_f32_by_name, m, ef, len, name, kDefaultNbElements, NB_MAX_LAYER);
}
HnswHandle* init_hnsw_i32(size_t m, size_t ef, size_t len, const char* name) {
  return create("init_hnsw_i32", make_i32_by_name, m, ef, len, name, kDefaultNbElements, NB_MAX_LAYER);
}
HnswHandle* init_hnsw_u16(size_t m, size_t ef, size_t len, const char* name) {
  return create("init_hnsw_u16", make_u16_by_name, m, ef, len, name, kDefaultNbElements, NB_MAX_LAYER);
}
HnswHandle* init_hnsw_u32(size_t m, size_t ef, size_t len, const char* name) {
  return create("init_hnsw_u32", make_u32_by_name, m, ef, len, name, kDefaultNbElements, NB_MAX_LAYER);
}
HnswHandle* init_hnsw_u8(size_t m, size_t ef, size_t len, const char* name) {
  return create("init_hnsw_u8", make_u8_by_name, m, ef, len, name, kDefaultNbElements, NB_MAX_LAYER);
}
HnswHandle* new_hnsw_f32(size_t m, size_t ef, size_t len, const char* name, size_t nb_elements, size_t max_layer) {
  return create("new_hnsw_f32", make_f32_by_name, m, ef, len, name, nb_elements, max_layer);
}
HnswHandle* new_hnsw_u16(size_t m, size_t ef, size_t len, const char* name, size_t nb_elements, size_t max_layer) {
  return create("new_hnsw_u16", make_u16_by_name, m, ef, len, name, nb_elements, max_layer);
}

void drop_hnsw_f32(HnswHandle* handle) { delete handle; }
void drop_hnsw_u16(HnswHandle* handle) { delete handle; }

#define VANTOR_ELEMENT_CALLS(T, E, TAG)                                                                     \
  void insert_##T(HnswHandle* h, size_t len, const E* data, size_t id) {                                   \
    insert_one(h, TAG, "insert_" #T, len, data, id);                                                       \
  }                                                                                                        \
  void parallel_insert_##T(HnswHandle* h, size_t nb, size_t len, const E* const* datas, const size_t* ids) { \
    insert_many(h, TAG, "parallel_insert_" #T, nb, len, reinterpret_cast<const void* const*>(datas), ids);  \
  }                                                                                                        \
  CNeighbourList* search_neighbours_##T(HnswHandle* h, size_t len, const E* data, size_t k, size_t ef) {    \
    return search_one(h, TAG, "search_neighbours_" #T, len, data, k, ef);                                  \
  }                                                                                                        \
  CNeighbourLists* parallel_search_neighbours_##T(HnswHandle* h, size_t nb, size_t len, const E* const* datas, \
                                                  size_t k, size_t ef) {                                   \
    return search_many(h, TAG, "parallel_search_neighbours_" #T, nb, len,                                  \
                       reinterpret_cast<const void* const*>(datas), k, ef);                                \
  }                                                                                                        \
  int64_t file_dump_##T(HnswHandle* h, size_t len, const char* basename) { return dump(h, len, basename); }

VANTOR_ELEMENT_CALLS(f32, float, ElemType::F32)
VANTOR_ELEMENT_CALLS(i32, int32_t, ElemType::I32)
VANTOR_ELEMENT_CALLS(u16, uint16_t, ElemType::U16)
VANTOR_ELEMENT_CALLS(u32, uint32_t, ElemType::U32)
VANTOR_ELEMENT_CALLS(u8, uint8_t, ElemType::U8)
#undef VANTOR_ELEMENT_CALLS

HnswIo* get_hnswio(size_t len, const char* basename) {
  auto* io = new HnswIo();
  io->io.dir = ".";
  io->io.basename = text(len, basename);
  return io;
}

CDescription* load_hnsw_description(size_t len, const char* path_bytes) {
  std::string path = text(len, path_bytes);
  uint64_t size = 0;
  std::string why;
  int fd = hnswio::open_for_reading(path, &size, &why);
  if (fd < 0) {
    std::string msg = "no such file, load_hnsw_description: could not open file " + path;
    ZLOG(Error, kTarget, "{}", msg);
    std::fputs((msg + "\n").c_str(), stdout);
    return nullptr;
  }
  hnswio::Reader r(fd, size);
  auto d = hnswio::Description::load(r);
  if (!d) {
    ZLOG(Error, kTarget, "could not get descrption of hnsw from file {}", path);
    std::fputs(("could not get descrption of hnsw from file " + path + " \n").c_str(), stdout);
    return nullptr;
  }
  auto* out = c_alloc<CDescription>();
  out->dumpmode = 1;
  out->max_nb_connection = d->max_nb_connection;
  out->nb_layer = d->nb_layer;
  out->ef = d->ef;
  out->nb_point = d->nb_point;
  out->dimension = d->dimension;
  out->distname_len = d->distname.size();
  out->distname = c_copy(d->distname);
  out->type_name_len = d->type_name.size();
  out->type_name = c_copy(d->type_name);
  return out;
}

}  // extern "C"
