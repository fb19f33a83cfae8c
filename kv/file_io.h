// The small file interface the log is written and read through.
//
// Every positioned read or write of the log file `db` goes through `File`, so
// tests can put a file in front that fails or shortens writes on purpose. The
// loops on top (read_up_to_at, read_all_at, write_all_at) are the only place
// where short transfers and EINTR are handled.
//
// Durability: `sync_data` is the promise (fdatasync: data and the file size
// reach stable storage). `sync_range_hint` only starts writeback early
// (sync_file_range); it never makes anything durable and its failure is ignored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <span>

#include "common/io_error.h"

namespace kelm {

template <class T>
using IoResult = std::expected<T, zudizid::common::IoError>;

class File {
 public:
  virtual ~File() = default;

  // One positioned transfer; may be short; EINTR is returned as Interrupted.
  virtual IoResult<size_t> read_at(uint8_t* buf, size_t n, uint64_t offset) = 0;
  virtual IoResult<size_t> write_at(const uint8_t* buf, size_t n, uint64_t offset) = 0;

  virtual IoResult<void> sync_data() = 0;  // fdatasync
  virtual IoResult<void> sync_all() = 0;   // fsync
  virtual void sync_range_hint(uint64_t offset, uint64_t len) = 0;

  virtual IoResult<uint64_t> len() = 0;
  virtual IoResult<void> set_len(uint64_t len) = 0;
};

// A file descriptor this object owns.
class PosixFile final : public File {
 public:
  // open(2) with O_CLOEXEC added.
  static IoResult<std::shared_ptr<PosixFile>> open(const std::filesystem::path& path, int flags, int mode = 0666);
  explicit PosixFile(int fd) : fd_(fd) {}
  ~PosixFile() override;
  PosixFile(const PosixFile&) = delete;
  PosixFile& operator=(const PosixFile&) = delete;

  int fd() const { return fd_; }
  // Gives the descriptor up without closing it (for a borrowed descriptor).
  void release() { fd_ = -1; }

  IoResult<size_t> read_at(uint8_t* buf, size_t n, uint64_t offset) override;
  IoResult<size_t> write_at(const uint8_t* buf, size_t n, uint64_t offset) override;
  IoResult<void> sync_data() override;
  IoResult<void> sync_all() override;
  void sync_range_hint(uint64_t offset, uint64_t len) override;
  IoResult<uint64_t> len() override;
  IoResult<void> set_len(uint64_t len) override;

 private:
  int fd_;
};

// Reads until n bytes are in or a read returns 0 (end of file); returns the
// count read. Interrupted reads are retried.
IoResult<size_t> read_up_to_at(File& file, uint8_t* buf, size_t n, uint64_t offset);
// Like read_up_to_at, but ending early is UnexpectedEof "failed to fill whole buffer".
IoResult<void> read_all_at(File& file, uint8_t* buf, size_t n, uint64_t offset);
// Writes all n bytes: interrupted writes are repeated, short writes continue
// with the rest, a write of 0 bytes is WriteZero "failed to write whole buffer".
IoResult<void> write_all_at(File& file, const uint8_t* buf, size_t n, uint64_t offset);
// Writes n zero bytes at offset in bounded chunks.
IoResult<void> write_zeros_at(File& file, uint64_t n, uint64_t offset);

}  // namespace kelm
