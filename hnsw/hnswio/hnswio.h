// The reload handle: names a dump (a directory and a basename) and carries
// the reload options. File names: "<basename>.hnsw.graph" and
// "<basename>.hnsw.data", the suffix appended before the join with the
// directory, so a basename may hold directory parts or be absolute.
//
// A reload with use_mmap serves the vectors from a read-only map of the data
// file (DataMap). The handle keeps the last such map, and every index
// reloaded on a map shares its ownership too: releasing the handle, or a
// later mapped reload through it, never unmaps what an index still reads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "hnsw/datamap/datamap.h"
#include "hnsw/hnsw/error.h"
#include "hnsw/hnswio/byte_io.h"
#include "hnsw/hnswio/description.h"

namespace vantor::hnswio {

// dir joined with name: an absolute name replaces dir; one "/" between.
std::string join_path(const std::string& dir, const std::string& name);

// The two files of one reload, opened, with the header read.
struct OpenedDump {
  Reader graph_reader;  // just after the description
  Reader data_reader;   // at the start of the data file
  Description description;
};

struct HnswIo {
  std::string dir = ".";
  std::string basename;
  bool use_mmap = false;
  uint64_t nb_points_in_memory = 0;  // with use_mmap: the last points read into memory
  std::shared_ptr<const datamap::DataMap> datamap;
  std::shared_ptr<std::atomic<uint64_t>> points_loaded = std::make_shared<std::atomic<uint64_t>>(0);

  std::string graph_path() const { return join_path(dir, basename + ".hnsw.graph"); }
  std::string data_path() const { return join_path(dir, basename + ".hnsw.data"); }

  // Opens both files and reads the description. A file that cannot be
  // opened is also reported on standard output and in the log.
  Result<OpenedDump> init() const;
};

}  // namespace vantor::hnswio
