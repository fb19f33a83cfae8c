// Reloading a dump into a working index of element type T and distance D.
//
// The graph and data files are read once, front to back and in step: the
// n-th point record and the n-th data record describe the same point, whose
// vector is its own record's payload. Everything read is checked before it
// is used: counts against the bytes left in the file, lists against their
// layer's limit (2 * max_nb_connection on layer 0), neighbours against the
// points loaded (no self-links, no repeats), distances against NaN and sign,
// payloads against dimension x element size. Lists are taken as dumped, also
// above a point's own layer and with entries of lower layers: the index
// keeps such links (a new point's descent records, the protected link of an
// entry point to the one it replaced) and its searches follow them. A bad file gives an error and
// leaves nothing behind.
//
// With io.use_mmap the vectors of all but the last io.nb_points_in_memory
// points are views into a map of the data file, shared by io and the index;
// a map that cannot be made leaves every vector in memory.
#pragma once

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <memory>
#include <type_traits>
#include <vector>

#include "common/io_error.h"
#include "common/log.h"
#include "hnsw/datamap/datamap.h"
#include "hnsw/hnsw/hnsw.h"
#include "hnsw/hnswio/description.h"
#include "hnsw/hnswio/hnswio.h"
#include "hnsw/hnswio/reload_checks.h"

namespace vantor::hnswio {

namespace detail {

template <class T>
constexpr size_t elem_size() {
  if constexpr (std::is_empty_v<T>) {
    return 0;
  } else {
    return sizeof(T);
  }
}

// One neighbour entry as read, resolved once every point exists.
struct RawEntry {
  int32_t rank;
  uint8_t layer;
  uint8_t list;
  float dist;
};

inline std::unexpected<Error> read_failed(const Reader& r) {
  return make_error(ErrorCode::Io, r.error().empty() ? std::string("read error") : r.error());
}

}  // namespace detail

template <class T, class D>
Result<std::unique_ptr<Hnsw<T, D>>> load_hnsw(HnswIo& io) {
  using H = Hnsw<T, D>;
  using detail::RawEntry;
  using zudizid::common::debug_quote;
  constexpr bool kNoData = std::is_same_v<T, dist::NoData>;
  constexpr size_t es = detail::elem_size<T>();
  ZLOG(Debug, kTarget, "HnswIo::load_hnsw ");
  auto t0 = std::chrono::steady_clock::now();

  auto opened = io.init();
  if (!opened) return make_error(opened.error().code, "could not reload HNSW structure");
  Description& d = opened->description;
  Reader& g = opened->graph_reader;
  ZLOG(Info, kTarget, "format version : {}", d.format_version);

  uint32_t magic = 0;
  uint64_t dim = 0;
  if (!opened->data_reader.get(magic) || !opened->data_reader.get(dim)) return detail::read_failed(opened->data_reader);
  if (magic != MAGICDATAP) return bad_dump("magic not equal to MAGICDATAP in load_point");
  if (dim != d.dimension) return bad_dump(fmt::format("data dimension incoherent {} {} ", dim, d.dimension));
  ZLOG(Debug, kTarget, "distance in description = {}", debug_quote(d.distname));
  if (auto c = check_distance(dist::type_name_of(D{}), d.distname, !std::is_same_v<D, dist::NoDist>); !c) {
    return std::unexpected(c.error());
  }
  ZLOG(Debug, kTarget, "T type name in dump = {}", debug_quote(d.type_name));
  if constexpr (!kNoData) {
    if (d.type_name != dist::ElemName<T>::value) {
      ZLOG(Error, kTarget, "typename loaded in  description {} do not correspond to instanciation type {}",
           d.type_name, dist::ElemName<T>::value);
      return bad_dump("incohrent size of T in description");
    }
    if (dim > opened->data_reader.remaining() / es) return bad_dump("dimension larger than the data file");
  }
  if (d.nb_layer > NB_MAX_LAYER) return bad_dump("a point cannot have more than 16 neighbour lists");
  if (d.dumpmode != 1) return bad_dump("neighbour entries without layer and rank cannot be resolved");

  std::shared_ptr<const datamap::DataMap> map;
  if (io.use_mmap && d.format_version >= 3) {
    auto m = datamap::DataMap::from_hnsw(io.dir, io.basename, std::string(dist::ElemName<T>::value));
    if (m && (*m)->dimension() == dim) {
      ZLOG(Info, kTarget, "reload using mmap");
      io.datamap = *m;
      map = *m;
    } else {
      ZLOG(Error, kTarget, "load_hnsw could not initialize mmap");
    }
  } else if (io.use_mmap) {
    ZLOG(Error, kTarget, "load_hnsw could not initialize mmap");
  }
  // With a map, the data records are read from the mapped bytes themselves.
  std::optional<Reader> mapped;
  if (map) {
    mapped.emplace(map->data(), map->size());
    mapped->skip(12);
  }
  Reader& data = mapped ? *mapped : opened->data_reader;

  const uint64_t m = d.max_nb_connection;
  const double scale = d.format_version >= 4 ? d.level_scale : 1.0 / std::log(static_cast<double>(m));
  auto created = H::create_for_reload(m, NB_MAX_LAYER, d.ef, scale, dim, map != nullptr);
  if (!created) return std::unexpected(created.error());
  std::unique_ptr<H> h = std::move(*created);
  if (map) h->hold(map);

  ZLOG(Debug, kTarget, " in load_point_indexation");
  uint8_t nb_layers_read = 0;
  if (!g.get(nb_layers_read)) return detail::read_failed(g);
  ZLOG(Debug, kTarget, "nb layer {}", nb_layers_read);
  if (nb_layers_read > NB_MAX_LAYER) return bad_dump("inconsistent number of layErrers");

  const uint64_t lists = d.nb_layer;
  const uint64_t min_point_bytes = 17 + 8 * lists;
  const uint64_t entry_bytes = 17;
  int64_t still = static_cast<int64_t>(std::min<uint64_t>(d.nb_point, INT64_MAX));
  std::vector<uint64_t> layer_first(nb_layers_read, 0), layer_count(nb_layers_read, 0);
  std::vector<RawEntry> entries;
  std::vector<uint64_t> entries_of;  // entries of point p: [entries_of[p], entries_of[p + 1])
  entries_of.push_back(0);
  std::vector<T> buf;
  auto point_failed = [&](uint64_t r, std::string why) {
    ZLOG(Error, kTarget, "in load_point_indexation, loading of point {} failed", r);
    return bad_dump(std::move(why));
  };

  for (uint64_t l = 0; l < nb_layers_read; ++l) {
    ZLOG(Debug, kTarget, "loading layer {}", l);
    uint32_t lm = 0;
    uint64_t n = 0;
    if (!g.get(lm)) return detail::read_failed(g);
    if (lm != kMagicLayer) return bad_dump("bad magic at layer beginning");
    if (!g.get(n)) return detail::read_failed(g);
    ZLOG(Debug, kTarget, " layer {} , nb points {}", l, n);
    if (n > g.remaining() / min_point_bytes || n > data.remaining() / 20) {
      return bad_dump("layer point count larger than the dump files");
    }
    layer_first[l] = h->nb_point();
    for (uint64_t r = 0; r < n; ++r) {
      if (map && still == static_cast<int64_t>(io.nb_points_in_memory)) {
        ZLOG(Info, kTarget, "Switching to points in memory. nb points stiil to load {}", still);
      }
      const bool from_map = map && still > static_cast<int64_t>(io.nb_points_in_memory);
      // The point record.
      uint32_t pm = 0;
      uint64_t origin = 0;
      uint8_t pl = 0;
      int32_t pr = 0;
      bool ok = g.get(pm);
      if (ok && pm != MAGICPOINT) {
        ZLOG(Error, kTarget, "got instead of MAGICPOINT {:#x}", pm);
        ok = false;
      }
      ok = ok && g.get(origin) && g.get(pl) && g.get(pr);
      for (uint64_t i = 0; ok && i < lists; ++i) {
        uint64_t c = 0;
        if (!g.get(c)) {
          ok = false;
          break;
        }
        if (c > h->list_limit(i) || c > g.remaining() / entry_bytes) {
          return point_failed(r, "neighbour list longer than its layer allows");
        }
        for (uint64_t k = 0; k < c; ++k) {
          uint64_t nid;
          RawEntry e{0, 0, static_cast<uint8_t>(i), 0.0f};
          if (!g.get(nid) || !g.get(e.layer) || !g.get(e.rank) || !g.get(e.dist)) {
            ok = false;
            break;
          }
          if (!(e.dist >= 0.0f)) return point_failed(r, "neighbour distance is negative or not a number");
          entries.push_back(e);
        }
      }
      if (!ok) {
        ZLOG(Error, kTarget, "load_point error reading graph data for point p_id");
        return point_failed(r, "error reading graph data for point");
      }
      if (pl != l || pr < 0 || static_cast<uint64_t>(pr) != r) {
        ZLOG(Debug, kTarget, "Origin= {},  p_id = {}", origin, PointId{pl, pr});
        ZLOG(Debug, kTarget, "Storing at l {}, r {}", l, r);
        return bad_dump("point identity does not match its place in the graph file");
      }
      entries_of.push_back(entries.size());

      // Its data record.
      uint32_t dm = 0;
      uint64_t did = 0, payload = 0;
      if (!data.get(dm)) return detail::read_failed(data);
      if (dm != MAGICDATAP) {
        return bad_dump(fmt::format("magic not equal to MAGICDATAP in load_point, point_id : {} ", origin));
      }
      if (!data.get(did) || !data.get(payload)) return detail::read_failed(data);
      if (did != origin) return bad_dump("origin_id incoherent between graph and data");
      if (payload > data.remaining()) return bad_dump("payload runs past the end of the data file");
      Result<uint32_t> made = make_error(ErrorCode::BadDump, "");
      if constexpr (kNoData) {
        data.skip(payload);
        made = h->restore_point({}, origin, pl, true);
      } else if (d.format_version >= 3) {
        if (payload != dim * es) return bad_dump(fmt::format("payload of {} bytes, not dimension x element size", payload));
        const T* view = reinterpret_cast<const T*>(data.here());
        if (from_map && reinterpret_cast<uintptr_t>(view) % alignof(T) == 0) {
          ZLOG(Debug, kTarget, "constructing point from datamap, dataid : {}", origin);
          data.skip(payload);
          made = h->restore_point(std::span<const T>(view, dim), origin, pl, false);
        } else {
          buf.resize(dim);
          if (!data.read(buf.data(), payload)) return detail::read_failed(data);
          made = h->restore_point(buf, origin, pl, true);
        }
      } else {
        uint64_t c = 0;
        if (payload < 8 || !data.get(c)) return bad_dump("format 2 payload without its element count");
        if (c > (payload - 8) / es) return bad_dump("format 2 payload holds fewer elements than its count");
        if (dist::fixed_length<D>() && c != dim) return bad_dump("vector length differs from the dump's dimension");
        buf.resize(c);
        if (!data.read(buf.data(), c * es) || !data.skip(payload - 8 - c * es)) return detail::read_failed(data);
        made = h->restore_point(buf, origin, pl, true);
      }
      if (!made) return std::unexpected(made.error());
      io.points_loaded->fetch_add(1, std::memory_order_relaxed);
      ZLOG(Trace, kTarget, "load_point  origin {} allocated size {}, dim {}", origin, h->point_vector(*made).size(), dim);
      if (--still < 0) return bad_dump("the graph file holds more points than its description");
    }
    layer_count[l] = h->nb_point() - layer_first[l];
  }

  // Neighbourhoods: (layer, rank) -> dense index is layer_first + rank.
  const uint64_t total = h->nb_point();
  std::vector<Entry> list;
  std::vector<uint32_t> seen;
  for (uint64_t p = 0; p < total; ++p) {
    for (uint64_t k = entries_of[p]; k < entries_of[p + 1];) {
      const uint8_t li = entries[k].list;
      list.clear();
      for (; k < entries_of[p + 1] && entries[k].list == li; ++k) {
        const RawEntry& e = entries[k];
        if (e.layer >= nb_layers_read || e.rank < 0 || static_cast<uint64_t>(e.rank) >= layer_count[e.layer]) {
          return bad_dump("neighbour names a point not loaded");
        }
        uint64_t idx = layer_first[e.layer] + static_cast<uint64_t>(e.rank);
        if (idx == p) return bad_dump("a point lists itself as its neighbour");
        list.push_back(Entry{static_cast<uint32_t>(idx), e.dist});
      }
      seen.clear();
      for (const Entry& e : list) seen.push_back(e.idx);
      std::sort(seen.begin(), seen.end());
      if (std::adjacent_find(seen.begin(), seen.end()) != seen.end()) return bad_dump("a neighbour listed twice");
      std::stable_sort(list.begin(), list.end(), [](const Entry& a, const Entry& b) { return a.dist < b.dist; });
      h->restore_list(static_cast<uint32_t>(p), li, list);
    }
    if ((p + 1) % 500000 == 0) ZLOG(Debug, kTarget, "reloading nb_points neighbourhood completed : {}", p + 1);
  }
  ZLOG(Info, kTarget, "end of layer loading, allocating PointIndexation, nb points loaded {}", total);

  uint64_t eo = 0;
  uint8_t el = 0;
  int32_t er = 0;
  if (!g.get(eo) || !g.get(el) || !g.get(er)) return detail::read_failed(g);
  ZLOG(Info, kTarget, "found entry point, origin_id {} , layer {}, rank in layer {} ", eo, el, er);
  if (el >= nb_layers_read || er < 0 || static_cast<uint64_t>(er) >= layer_count[el]) {
    return bad_dump("entry point names a point not loaded");
  }
  uint32_t entry = static_cast<uint32_t>(layer_first[el] + static_cast<uint64_t>(er));
  h->restore_entry(entry);
  ZLOG(Info, kTarget, " loaded entry point, origin_id {} p_id {}", h->origin_id(entry), h->point_id(entry));
  ZLOG(Debug, kTarget, "Exiting load_pointIndexation");
  ZLOG(Debug, kTarget, "load_hnsw completed");
  auto secs = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - t0).count();
  ZLOG(Info, kTarget, "reload_hnsw : elapsed system time(s) {}", static_cast<double>(secs));
  return h;
}

}  // namespace vantor::hnswio
