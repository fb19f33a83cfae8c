#include "hnsw/datamap/datamap.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "common/io_error.h"
#include "common/log.h"
#include "hnsw/hnswio/byte_io.h"
#include "hnsw/hnswio/description.h"
#include "hnsw/hnswio/hnswio.h"

namespace vantor::datamap {

using zudizid::common::debug_quote;

DataMap::~DataMap() {
  if (base_ && size_ > 0) ::munmap(const_cast<unsigned char*>(base_), size_);
}

Result<std::shared_ptr<const DataMap>> DataMap::from_hnsw(const std::string& dir, const std::string& basename,
                                                          const std::string& type_name) {
  using namespace hnswio;
  std::string graph_path = join_path(dir, basename + ".hnsw.graph");
  uint64_t size = 0;
  std::string why;
  int gfd = open_for_reading(graph_path, &size, &why);
  if (gfd < 0) {
    ZLOG(Error, kTarget, "DataMap: could not open file {}", debug_quote(graph_path));
    return make_error(ErrorCode::Io, "DataMap: could not open file " + debug_quote(graph_path));
  }
  Description d;
  {
    Reader gr(gfd, size);
    auto loaded = Description::load(gr);
    if (!loaded) return std::unexpected(loaded.error());
    d = std::move(*loaded);
  }
  if (d.format_version < 3) {
    ZLOG(Error, kTarget, "data mapping is only possible for dumps of format 3 or later, got {}", d.format_version);
    return bad_dump("data mapping is only possible for dumps of format 3 or later");
  }
  ZLOG(Info, kTarget, "Got typename from reload : {}", debug_quote(d.type_name));
  if (d.type_name != type_name) {
    ZLOG(Error, kTarget, "Description has typename {}, function type argument is : {}", debug_quote(d.type_name),
         debug_quote(type_name));
    return bad_dump("type error");
  }
  std::shared_ptr<DataMap> m(new DataMap());
  m->datapath_ = join_path(dir, basename + ".hnsw.data");
  m->type_name_ = d.type_name;
  m->distname_ = d.distname;
  int fd = open_for_reading(m->datapath_, &size, &why);
  if (fd < 0) {
    ZLOG(Error, kTarget, "Could not open file : {}", debug_quote(m->datapath_));
    return make_error(ErrorCode::Io, "Could not open file : " + debug_quote(m->datapath_));
  }
  if (size < 12) {
    ::close(fd);
    return bad_dump("data file shorter than its header");
  }
  void* p = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
  ::close(fd);  // the mapping stays valid without the descriptor
  if (p == MAP_FAILED) {
    ZLOG(Error, kTarget, "Could not memory map : {}", debug_quote(m->datapath_));
    return make_error(ErrorCode::Io, "Could not memory map : " + debug_quote(m->datapath_));
  }
  m->base_ = static_cast<const unsigned char*>(p);
  m->size_ = size;
  ZLOG(Info, kTarget, "Mmap done on file : {}", m->datapath_);
  uint32_t magic;
  std::memcpy(&magic, m->base_, 4);
  if (magic != MAGICDATAP) return bad_dump("magic not equal to MAGICDATAP in mmap");
  std::memcpy(&m->dimension_, m->base_ + 4, 8);
  if (m->dimension_ != d.dimension) {
    ZLOG(Error, kTarget, "Description and data do not agree on dimension, data got : {}, description got : {}",
         m->dimension_, d.dimension);
    return bad_dump("description and data do not agree on dimension");
  }
  ZLOG(Info, kTarget, "Got dimension : {}", m->dimension_);
  return std::shared_ptr<const DataMap>(std::move(m));
}

}  // namespace vantor::datamap
