// The write-ahead log "zovov.wal": committed transactions are appended as
// JSON records before their writes are applied, and read back at open for
// recovery.
//
// One handle per open graph, shared by every clone of the graph handle.
// Appends, read_all and flush serialise on the file lock; an append returns
// only after its records are durable (one write loop and one fsync per
// batch).
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <vector>

#include "storage/db_error.h"
#include "wal/wal_file.h"
#include "wal/wal_record.h"

namespace zudizid::wal {

// The log file's name in a database directory.
inline constexpr const char* kWalFileName = "zovov.wal";

// "zovov--{uuid}.wal" in the system temporary directory, for an in-memory
// database; a fresh random id per call.
std::filesystem::path in_memory_wal_path();

struct WalScan {
  std::vector<WalRecord> records;
  std::uint64_t valid_end = 0;
};

class Wal {
 public:
  // Opens or creates the log, cuts a torn tail and returns the handle.
  // Damage in the middle of the log (a bad frame with whole records behind
  // it) fails the open instead of dropping those records.
  static DbResult<std::unique_ptr<Wal>> open(const std::filesystem::path& path);

  // Appends the records as consecutive frames; returns the offset at which
  // the batch begins. A record that cannot be serialised fails the append
  // before anything is written.
  DbResult<std::uint64_t> append_batch(std::span<const WalRecord> records);

  // Every record of the log, in file order.
  DbResult<std::vector<WalRecord>> read_all();

  // Returns once no append is in progress.
  void flush();

  const std::filesystem::path& path() const { return file_->path(); }
  std::uint64_t position() const { return file_->position(); }

  // Scans a file from offset 0: the records and the valid end.
  static DbResult<WalScan> scan(int fd);

 private:
  explicit Wal(std::unique_ptr<WalFile> file) : file_(std::move(file)) {}
  std::unique_ptr<WalFile> file_;
};

}  // namespace zudizid::wal
