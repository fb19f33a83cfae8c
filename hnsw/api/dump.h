// Dumping an index to "<dir>/<basename>.hnsw.graph" and ".hnsw.data" (format
// 4, layout in hnsw/hnswio/description.h). The dump is durable and atomic per
// file (see DumpFiles): a failed dump keeps the previous one. An index built
// in memory overwrites an earlier dump of its basename; a reloaded index
// writes under a fresh basename when the data file exists.
//
// Refused, with nothing written: an index without points, one whose
// max_nb_connection does not fit the header's byte (256), one whose layer
// count is not 16, and one whose vectors differ in length (the readers expect
// `dimension` elements in every record).
#pragma once

#include <fmt/format.h>

#include <string>
#include <type_traits>
#include <vector>

#include "common/io_error.h"
#include "common/log.h"
#include "hnsw/api/dump_files.h"
#include "hnsw/hnsw/hnsw.h"
#include "hnsw/hnswio/description.h"

namespace vantor::api {

// The basename the files were written under.
template <class T, class D>
Result<std::string> file_dump(const Hnsw<T, D>& h, const std::string& dir, const std::string& basename) {
  using hnswio::MAGICDATAP;
  using hnswio::MAGICPOINT;
  constexpr uint64_t es = std::is_empty_v<T> ? 0 : sizeof(T);
  ZLOG(Info, kTarget, "Hnsw::file_dump: dumping in dir {} with (unique) basename : {}",
       zudizid::common::debug_quote(dir), basename);
  if (h.max_nb_connection() > 255) {
    return make_error(ErrorCode::InvalidConfig, "max_nb_connection above 255 does not fit in a dump");
  }
  auto files = DumpFiles::create(dir, basename, !h.loaded_from_dump());
  if (!files) return std::unexpected(files.error());
  DumpFiles& f = **files;
  hnswio::Writer& gw = f.graph();
  hnswio::Writer& dw = f.data();

  auto walked = h.with_layers([&](std::span<const std::vector<uint32_t>> layers) -> Result<void> {
    auto entry = h.entry_index();
    if (!entry) return make_error(ErrorCode::InvalidConfig, "entry point not initialized");
    hnswio::Description d;
    d.max_nb_connection = static_cast<uint8_t>(h.max_nb_connection());
    d.level_scale = h.level_scale();
    d.nb_layer = static_cast<uint8_t>(h.nb_layer());
    d.ef = h.ef_construction();
    d.nb_point = h.nb_point();
    d.dimension = h.point_vector(*entry).size();
    d.distname = dist::type_name_of(h.distance());
    d.type_name = std::string(dist::ElemName<T>::value);
    ZLOG(Debug, kTarget, "dump  obtained typename {}", d.type_name);
    if (auto r = d.dump(gw); !r) return r;
    auto write_failed = [&]() { return make_error(ErrorCode::Io, !gw.error().empty() ? gw.error() : dw.error()); };
    if (!dw.put(MAGICDATAP) || !dw.put(d.dimension)) return write_failed();
    if (!gw.put(static_cast<uint8_t>(layers.size()))) return write_failed();
    for (size_t l = 0; l < layers.size(); ++l) {
      ZLOG(Debug, kTarget, "dumping layer {}, nb_point {}", l, layers[l].size());
      if (!gw.put(hnswio::kMagicLayer) || !gw.put(static_cast<uint64_t>(layers[l].size()))) return write_failed();
      for (uint32_t idx : layers[l]) {
        const PointId pid = h.point_id(idx);
        const uint64_t origin = h.origin_id(idx);
        if (!gw.put(MAGICPOINT) || !gw.put(origin) || !gw.put(pid.layer) || !gw.put(pid.rank)) return write_failed();
        for (uint64_t li = 0; li < NB_MAX_LAYER; ++li) {
          std::vector<Entry> list = h.neighbours(idx, li);
          if (!gw.put(static_cast<uint64_t>(list.size()))) return write_failed();
          for (const Entry& e : list) {
            const PointId np = h.point_id(e.idx);
            if (!gw.put(h.origin_id(e.idx)) || !gw.put(np.layer) || !gw.put(np.rank) || !gw.put(e.dist)) {
              return write_failed();
            }
          }
        }
        auto v = h.point_vector(idx);
        if (v.size() != d.dimension) {
          return make_error(ErrorCode::InvalidVector, "vectors of differing lengths cannot be dumped");
        }
        const uint64_t payload = v.size() * es;
        if (!dw.put(MAGICDATAP) || !dw.put(origin) || !dw.put(payload) || !dw.write(v.data(), payload)) {
          return write_failed();
        }
      }
    }
    const PointId ep = h.point_id(*entry);
    if (!gw.put(h.origin_id(*entry)) || !gw.put(ep.layer) || !gw.put(ep.rank)) return write_failed();
    ZLOG(Info, kTarget, "dumped entry_point origin_d {}, p_id {} ", h.origin_id(*entry), ep);
    return {};
  });
  if (!walked) return std::unexpected(walked.error());
  if (auto c = f.commit(); !c) return std::unexpected(c.error());
  ZLOG(Info, kTarget, "\n End of dump, directory : {} file basename : {}\n", dir, f.basename());
  return f.basename();
}

}  // namespace vantor::api
