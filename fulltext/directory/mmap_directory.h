// A Directory over a folder of the file system. Reads go through read-only
// memory maps shared by every reader of a file (a cache of weak references;
// a map lives while some slice over it lives). Files are written once through
// plain descriptors; small files are replaced atomically (temporary file,
// data sync, rename, directory sync). A watcher thread polls meta.json every
// 500 ms and broadcasts when the CRC-32 of its lines changes.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "fulltext/directory/directory.h"

namespace fendral {

class MmapDirectory final : public Directory {
 public:
  static std::expected<MmapDirectory, OpenDirectoryError> open(const std::string& path);

  const std::string& root_path() const;

  std::unique_ptr<Directory> box_clone() const override { return std::make_unique<MmapDirectory>(*this); }
  std::string debug() const override;
  std::expected<std::shared_ptr<const FileHandle>, OpenReadError> get_file_handle(
      const std::string& path) const override;
  std::expected<void, DeleteError> delete_file(const std::string& path) const override;
  std::expected<bool, OpenReadError> exists(const std::string& path) const override;
  std::expected<WriteHandle, OpenWriteError> open_write(const std::string& path) const override;
  std::expected<std::vector<uint8_t>, OpenReadError> atomic_read(const std::string& path) const override;
  IoResult<void> atomic_write(const std::string& path, std::span<const uint8_t> bytes) const override;
  IoResult<void> sync_directory() const override;
  std::expected<DirectoryLock, LockError> acquire_lock(const Lock& lock) const override;
  Result<WatchHandle> watch(WatchCallback callback) const override;

  struct State;

 private:
  explicit MmapDirectory(std::shared_ptr<State> s) : state_(std::move(s)) {}
  std::shared_ptr<State> state_;
};

// The CRC-32 the watcher computes over a text's lines (terminators "\n" and
// "\r\n" excluded); nullopt when a line is not valid UTF-8.
std::optional<uint32_t> meta_file_lines_crc(std::span<const uint8_t> content);

}  // namespace fendral
