// The file storage interface of the engine: a flat folder of named files with
// whole-file reads, write-once files, small files replaced atomically, lock
// files and a change notification for meta.json. Handles are shared and
// usable from any thread; paths are relative to the directory's root.
#pragma once

#include <expected>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "fulltext/common/file_slice.h"
#include "fulltext/common/io.h"
#include "fulltext/directory/watch_callback.h"
#include "fulltext/error/error.h"

namespace fendral {

// Definition of a lock file.
struct Lock {
  std::string filepath;
  bool is_blocking;
};

// The writer lock: at most one index writer per index.
const Lock& index_writer_lock();
// The meta lock: held by readers while they load meta.json.
const Lock& meta_lock();
// Message of the LockFailure given when the writer lock is busy.
extern const char kIndexWriterLockMessage[];

// A held lock; released when dropped.
class DirectoryLock {
 public:
  class Releaser {
   public:
    virtual ~Releaser() = default;
  };
  DirectoryLock() = default;
  explicit DirectoryLock(std::unique_ptr<Releaser> r) : releaser_(std::move(r)) {}

 private:
  std::unique_ptr<Releaser> releaser_;
};

using WriteHandle = std::unique_ptr<BufferedWriter>;

// Compares two relative paths component by component.
bool same_path(std::string_view a, std::string_view b);
// The form a path takes as a map key ("a//b" and "a/b" are one path).
std::string normalize_path(std::string_view p);

class Directory {
 public:
  virtual ~Directory() = default;

  virtual std::unique_ptr<Directory> box_clone() const = 0;
  virtual std::string debug() const = 0;

  virtual std::expected<std::shared_ptr<const FileHandle>, OpenReadError> get_file_handle(
      const std::string& path) const = 0;
  // Default: a slice over get_file_handle from 0 to its length.
  virtual std::expected<FileSlice, OpenReadError> open_read(const std::string& path) const;
  virtual std::expected<void, DeleteError> delete_file(const std::string& path) const = 0;
  virtual std::expected<bool, OpenReadError> exists(const std::string& path) const = 0;
  virtual std::expected<WriteHandle, OpenWriteError> open_write(const std::string& path) const = 0;
  virtual std::expected<std::vector<uint8_t>, OpenReadError> atomic_read(const std::string& path) const = 0;
  virtual IoResult<void> atomic_write(const std::string& path, std::span<const uint8_t> bytes) const = 0;
  virtual IoResult<void> sync_directory() const = 0;
  // Default: the lock file's existence is the lock (see default_acquire_lock).
  virtual std::expected<DirectoryLock, LockError> acquire_lock(const Lock& lock) const;
  virtual Result<WatchHandle> watch(WatchCallback callback) const = 0;
};

// The default form of acquire_lock: create the lock file with open_write
// (retrying 100 times, 100 ms apart, when blocking); release deletes it.
std::expected<DirectoryLock, LockError> default_acquire_lock(const Directory& dir, const Lock& lock);

}  // namespace fendral
