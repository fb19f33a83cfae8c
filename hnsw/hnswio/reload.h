// Reloading a dump into a working index of element type T and distance D.
//
// The graph and data files are read once, front to back and in step: the
// n-th point record and the n-th data record describe the same point, whose
// vector is its own record's payload, copied straight from the reader's
// buffer. Lists go into their points as read; one pass over the points then
// resolves their entries once every layer's size is known.
//
// Everything read is checked before it is used: counts against the bytes
// left in the file, lists against their layer's limit (2 * max_nb_connection
// on layer 0), neighbours against the points loaded (no self-links, no
// repeats), distances against NaN and sign, payloads against dimension x
// element size. Lists are taken as dumped, also above a point's own layer and
// with entries of lower layers: the index keeps such links (a new point's
// descent records, the protected link of an entry point to the one it
// replaced) and its searches follow them. A bad file gives an error and
// leaves nothing behind.
//
// With io.use_mmap the vectors of all but the last io.nb_points_in_memory
// points are views into a map of the data file, shared by io and the index;
// a map that cannot be made leaves every vector in memory.
#pragma once

#include <fmt/format.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
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

// One neighbour entry in the graph file: u64 origin_id (unused: the layer and
// rank name the point), u8 layer at byte 8, i32 rank at 9, f32 distance at 13.
inline constexpr uint64_t kEntryBytes = 17;

inline std::unexpected<Error> read_failed(const Reader& r) {
  return make_error(ErrorCode::Io, r.error().empty() ? std::string("read error") : r.error());
}

}  // namespace detail

template <class T, class D>
Result<std::unique_ptr<Hnsw<T, D>>> load_hnsw(HnswIo& io) {
  using H = Hnsw<T, D>;
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
  int64_t still = static_cast<int64_t>(std::min<uint64_t>(d.nb_point, INT64_MAX));
  std::vector<uint64_t> layer_first(nb_layers_read, 0), layer_count(nb_layers_read, 0);
  // Lists go into the index as they are read, each entry's rank standing in
  // for its dense index; the entries' layers wait here, in file order, until
  // every layer's size is known.
  std::vector<uint8_t> entry_layers;
  entry_layers.reserve(g.remaining() / detail::kEntryBytes);
  // The lists of the point being read: list i is list_entries[list_start[i],
  // list_start[i + 1]).
  std::vector<Entry> list_entries;
  list_entries.reserve(h->list_limit(0) + (NB_MAX_LAYER - 1) * h->list_limit(1));
  std::array<size_t, NB_MAX_LAYER + 1> list_start{};
  std::vector<unsigned char> straddling;  // a list's bytes when they cross the reader's buffer
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
    h->reserve_layer(l, n);
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
      list_entries.clear();
      for (uint64_t i = 0; ok && i < lists; ++i) {
        list_start[i] = list_entries.size();
        uint64_t c = 0;
        if (!g.get(c)) {
          ok = false;
          break;
        }
        if (c > h->list_limit(i) || c > g.remaining() / detail::kEntryBytes) {
          return point_failed(r, "neighbour list longer than its layer allows");
        }
        const size_t bytes = c * detail::kEntryBytes;
        const unsigned char* at = g.take(bytes);
        if (!at) {
          straddling.resize(bytes);
          if (!g.read(straddling.data(), bytes)) {
            ok = false;
            break;
          }
          at = straddling.data();
        }
        for (uint64_t k = 0; k < c; ++k, at += detail::kEntryBytes) {
          uint32_t rank;
          float dist;
          std::memcpy(&rank, at + 9, 4);
          std::memcpy(&dist, at + 13, 4);
          if (!(dist >= 0.0f)) return point_failed(r, "neighbour distance is negative or not a number");
          list_entries.push_back(Entry{rank, dist});
          entry_layers.push_back(at[8]);
        }
      }
      if (!ok) {
        ZLOG(Error, kTarget, "load_point error reading graph data for point p_id");
        return point_failed(r, "error reading graph data for point");
      }
      list_start[lists] = list_entries.size();
      if (pl != l || pr < 0 || static_cast<uint64_t>(pr) != r) {
        ZLOG(Debug, kTarget, "Origin= {},  p_id = {}", origin, PointId{pl, pr});
        ZLOG(Debug, kTarget, "Storing at l {}, r {}", l, r);
        return bad_dump("point identity does not match its place in the graph file");
      }

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
        // The payload in place (in the map, or in the reader's buffer) when
        // it is whole and aligned there; else a copy.
        const unsigned char* at = data.take(payload);
        if (at && reinterpret_cast<uintptr_t>(at) % alignof(T) == 0) {
          if (from_map) ZLOG(Debug, kTarget, "constructing point from datamap, dataid : {}", origin);
          made = h->restore_point(std::span<const T>(reinterpret_cast<const T*>(at), dim), origin, pl, !from_map);
        } else {
          buf.resize(dim);
          if (at) {
            std::memcpy(buf.data(), at, payload);
          } else if (!data.read(buf.data(), payload)) {
            return detail::read_failed(data);
          }
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
      // Highest list first: a point's upper lists are then allocated once.
      for (uint64_t i = lists; i-- > 0;) {
        if (list_start[i + 1] > list_start[i]) {
          h->restore_list(*made, i, std::span<const Entry>(list_entries).subspan(list_start[i], list_start[i + 1] - list_start[i]));
        }
      }
      io.points_loaded->fetch_add(1, std::memory_order_relaxed);
      ZLOG(Trace, kTarget, "load_point  origin {} allocated size {}, dim {}", origin, h->point_vector(*made).size(), dim);
      if (--still < 0) return bad_dump("the graph file holds more points than its description");
    }
    layer_count[l] = h->nb_point() - layer_first[l];
  }

  // Neighbourhoods, in file order: (layer, rank) -> dense index
  // layer_first + rank; then each list sorted by distance (lists are dumped
  // sorted, so this is mostly a check).
  const uint64_t total = h->nb_point();
  std::vector<uint32_t> mark(total, 0);  // mark[i] == epoch: i is in the current list
  uint32_t epoch = 0;
  size_t next_layer = 0;
  for (uint64_t p = 0; p < total; ++p) {
    for (uint64_t li = 0; li < lists; ++li) {
      std::span<Entry> list = h->restored_list(static_cast<uint32_t>(p), li);
      if (list.empty()) continue;
      if (++epoch == 0) {
        std::fill(mark.begin(), mark.end(), 0);
        epoch = 1;
      }
      bool twice = false;
      for (Entry& e : list) {
        const uint8_t layer = entry_layers[next_layer++];
        const int32_t rank = static_cast<int32_t>(e.idx);
        if (layer >= nb_layers_read || rank < 0 || static_cast<uint64_t>(rank) >= layer_count[layer]) {
          return bad_dump("neighbour names a point not loaded");
        }
        const uint64_t idx = layer_first[layer] + static_cast<uint64_t>(rank);
        if (idx == p) return bad_dump("a point lists itself as its neighbour");
        e.idx = static_cast<uint32_t>(idx);
        twice = twice || mark[idx] == epoch;
        mark[idx] = epoch;
      }
      if (twice) return bad_dump("a neighbour listed twice");
      auto nearer = [](const Entry& a, const Entry& b) { return a.dist < b.dist; };
      if (!std::is_sorted(list.begin(), list.end(), nearer)) std::stable_sort(list.begin(), list.end(), nearer);
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
