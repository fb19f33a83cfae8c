// The two files of one dump, written durably: each goes to a temporary file
// next to its final name; commit() syncs both, renames them into place (data
// file first) and syncs the directory. Until then the previous dump of the
// same basename is untouched, and a dump that is dropped uncommitted removes
// its temporaries.
#pragma once

#include <memory>
#include <string>

#include "hnsw/hnsw/error.h"
#include "hnsw/hnswio/byte_io.h"

namespace vantor::api {

inline constexpr const char* kTarget = "vantor::api";

class DumpFiles {
 public:
  // overwrite false: when "<dir>/<basename>.hnsw.data" exists, the dump takes
  // a fresh basename "<basename>-N", N in 0..9999, and fails when all exist.
  static Result<std::unique_ptr<DumpFiles>> create(const std::string& dir, const std::string& basename,
                                                   bool overwrite);
  ~DumpFiles();
  DumpFiles(const DumpFiles&) = delete;
  DumpFiles& operator=(const DumpFiles&) = delete;

  const std::string& basename() const { return basename_; }
  hnswio::Writer& graph() { return *graph_; }
  hnswio::Writer& data() { return *data_; }
  Result<void> commit();

 private:
  DumpFiles() = default;
  std::string dir_, basename_;
  std::string graph_path_, data_path_, graph_tmp_, data_tmp_;
  std::unique_ptr<hnswio::Writer> graph_, data_;
  bool committed_ = false;
};

}  // namespace vantor::api
