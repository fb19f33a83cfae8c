#include "hnsw/hnswio/description.h"

#include <cstdio>

#include "common/log.h"
#include "hnsw/hnsw/point_arena.h"

namespace vantor::hnswio {

namespace {

Result<void> write_error(const Writer& w) { return make_error(ErrorCode::Io, w.error()); }

}  // namespace

Result<void> Description::dump(Writer& w) const {
  ZLOG(Info, kTarget, "in dump of description");
  uint8_t mode = 1;
  if (!w.put(kMagicDescrV4) || !w.put(mode) || !w.put(max_nb_connection) || !w.put(level_scale) ||
      !w.put(nb_layer)) {
    return write_error(w);
  }
  if (nb_layer != NB_MAX_LAYER) {
    std::fputs("dump of Description, nb_layer != NB_MAX_LAYER\n", stdout);
    return make_error(ErrorCode::InvalidConfig, "dump of Description, nb_layer != NB_MAX_LAYER");
  }
  ZLOG(Info, kTarget, "dumping ef {}", ef);
  if (!w.put(ef)) return write_error(w);
  ZLOG(Info, kTarget, "dumping nb point {}", nb_point);
  if (!w.put(nb_point)) return write_error(w);
  ZLOG(Info, kTarget, "dumping dimension of data {}", dimension);
  if (!w.put(dimension)) return write_error(w);
  ZLOG(Info, kTarget, "distance name {} ", distname);
  if (!w.put_string(distname)) return write_error(w);
  ZLOG(Info, kTarget, "T name {} ", type_name);
  if (!w.put_string(type_name)) return write_error(w);
  return {};
}

Result<Description> Description::load(Reader& r) {
  auto io = [&r]() { return make_error(ErrorCode::Io, r.error()); };
  Description d;
  uint32_t magic = 0;
  if (!r.get(magic)) return io();
  ZLOG(Debug, kTarget, "magic {:#x}", magic);
  switch (magic) {
    case kMagicDescrV4: d.format_version = 4; break;
    case kMagicDescrV3: d.format_version = 3; break;
    case kMagicDescrV2: d.format_version = 2; break;
    default:
      ZLOG(Error, kTarget, "bad magic");
      return bad_dump("bad magic at descr beginning");
  }
  if (!r.get(d.dumpmode) || !r.get(d.max_nb_connection)) return io();
  if (d.format_version >= 4 && !r.get(d.level_scale)) return io();
  if (!r.get(d.nb_layer) || !r.get(d.ef) || !r.get(d.nb_point) || !r.get(d.dimension)) return io();
  ZLOG(Info, kTarget, "dumpmode {} max_nb_connection {} nb_layer {} ef {} nb_point {} dimension {}", d.dumpmode,
       d.max_nb_connection, d.nb_layer, d.ef, d.nb_point, d.dimension);
  uint64_t len = 0;
  if (!r.get(len)) return io();
  if (len > kMaxNameLength) {
    ZLOG(Info, kTarget, " length of distance name > 256");
    std::fputs(" length of distance name should not exceed 256\n", stdout);
    return bad_dump("bad length for distance name");
  }
  d.distname.assign(len, '\0');
  if (!r.read(d.distname.data(), len)) return io();
  if (!r.get(len)) return io();
  if (len > kMaxNameLength) {
    std::fputs(" length of T name should not exceed 256\n", stdout);
    return bad_dump("bad lenght for T name");
  }
  d.type_name.assign(len, '\0');
  if (!r.read(d.type_name.data(), len)) return io();
  ZLOG(Debug, kTarget, " end of description load ");
  return d;
}

}  // namespace vantor::hnswio
