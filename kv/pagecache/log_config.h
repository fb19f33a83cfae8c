// What the log, recovery and the segment accountant need of the running
// configuration: the directory in use, the segment size, whether the database
// is temporary, and the open log file `db`.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>

#include "kv/file_io.h"
#include "kv/threadpool/threadpool.h"

namespace kelm::pagecache {

struct LogConfig {
  std::filesystem::path path;  // the database directory in use
  uint64_t segment_size = 512 * 1024;
  bool temporary = false;
  std::shared_ptr<File> file;  // `db`, opened for reading and writing
  // Every IO-pool job of this log; waited for before the log lets go of `db`.
  std::shared_ptr<threadpool::JobGroup> jobs = std::make_shared<threadpool::JobGroup>();

  std::filesystem::path blob_dir() const { return path / "blobs"; }
};

}  // namespace kelm::pagecache
