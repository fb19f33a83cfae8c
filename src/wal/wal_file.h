// The write-ahead-log file: open with torn-tail cut, batch append with one
// write loop and one fsync, and reads under the file lock.
//
// Invariant: the file holds exactly `position` bytes of whole frames between
// appends. An append that fails part-way is cut back to `position` before
// the lock is released, so a later append never lands behind garbage; if the
// cut itself fails the file refuses every further append until it is
// reopened. An append returns only after its bytes are durable.
//
// Lock order: `file_mu_`, then `position_mu_`; nothing takes `position_mu_`
// first.
#pragma once

#include <cstdint>
#include <expected>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string_view>

#include "common/io_error.h"
#include "wal/frame_scan.h"

namespace zudizid::wal {

class WalFile {
 public:
  ~WalFile();
  WalFile(const WalFile&) = delete;
  WalFile& operator=(const WalFile&) = delete;

  // Opens or creates the file (mode 0666 before the umask), scans it with
  // `decode` (records are not kept), cuts a torn tail and fsyncs the cut.
  static std::expected<std::unique_ptr<WalFile>, FrameScanError> open(const std::filesystem::path& path,
                                                                       const FrameDecoder& decode);

  // Appends `batch` (whole frames of `records` records) and fsyncs. Returns
  // the offset at which the batch begins. An empty batch writes nothing and
  // returns the current position.
  std::expected<std::uint64_t, common::IoError> append(std::string_view batch, std::size_t records);

  // Scans the file from offset 0 under the file lock.
  std::expected<FrameScanResult, FrameScanError> scan(const FrameDecoder& decode);

  // Returns once no append is in progress. Every append already ends with an
  // fsync, so there is nothing to write.
  void flush();

  std::uint64_t position() const;
  const std::filesystem::path& path() const { return path_; }

 private:
  WalFile(std::filesystem::path path, int fd, std::uint64_t position)
      : path_(std::move(path)), fd_(fd), position_(position) {}

  // Cuts the file back to `position` after a failed append. Returns false
  // when the file could not be restored.
  bool undo_failed_append(std::uint64_t position);

  std::filesystem::path path_;
  mutable std::mutex file_mu_;
  int fd_;                        // guarded by file_mu_
  bool poisoned_ = false;         // guarded by file_mu_
  mutable std::mutex position_mu_;
  std::uint64_t position_;        // guarded by position_mu_
};

}  // namespace zudizid::wal
