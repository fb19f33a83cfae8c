// The directory through which the engine reads and writes index files. It
// wraps another directory, records every file it creates in ".managed.json"
// (so garbage collection can find files nothing refers to), appends a footer
// to every file written with open_write and checks and strips it on reads.
#pragma once

#include <memory>
#include <functional>
#include <set>
#include <span>
#include <shared_mutex>
#include <string>

#include "fulltext/directory/directory.h"

namespace fendral {

extern const char kManagedFilepath[];  // ".managed.json"

class ManagedDirectory final : public Directory {
 public:
  static Result<ManagedDirectory> wrap(std::unique_ptr<Directory> directory);

  ManagedDirectory(const ManagedDirectory& o) : directory_(o.directory_->box_clone()), meta_(o.meta_) {}

  std::unique_ptr<Directory> box_clone() const override { return std::make_unique<ManagedDirectory>(*this); }
  std::string debug() const override;
  std::expected<std::shared_ptr<const FileHandle>, OpenReadError> get_file_handle(
      const std::string& path) const override;
  std::expected<FileSlice, OpenReadError> open_read(const std::string& path) const override;
  std::expected<void, DeleteError> delete_file(const std::string& path) const override {
    forget_verified(path);
    return directory_->delete_file(path);
  }
  std::expected<bool, OpenReadError> exists(const std::string& path) const override { return directory_->exists(path); }
  std::expected<WriteHandle, OpenWriteError> open_write(const std::string& path) const override;
  std::expected<std::vector<uint8_t>, OpenReadError> atomic_read(const std::string& path) const override {
    return directory_->atomic_read(path);
  }
  IoResult<void> atomic_write(const std::string& path, std::span<const uint8_t> bytes) const override;
  IoResult<void> sync_directory() const override { return directory_->sync_directory(); }
  std::expected<DirectoryLock, LockError> acquire_lock(const Lock& lock) const override {
    return directory_->acquire_lock(lock);
  }
  Result<WatchHandle> watch(WatchCallback callback) const override { return directory_->watch(std::move(callback)); }

  IoResult<void> register_managed_path(const std::string& path) const;
  // Registers several paths with one write of the managed list (a writer
  // about to create a segment's files registers them all at once);
  // open_write then finds them registered and writes the list no more.
  IoResult<void> register_managed_paths(std::span<const std::string> paths) const;

  struct GarbageCollectionResult {
    std::vector<std::string> deleted_files;
    std::vector<std::string> failed_to_delete_files;
  };
  // Deletes the managed files that are not in `living_files`, under the meta
  // lock, and rewrites .managed.json when anything was deleted.
  Result<GarbageCollectionResult> garbage_collect(const std::set<std::string>& living_files) const;
  // Same, with the living files listed only after the managed files were
  // read: a file registered by then belongs to something already listed by
  // `living_files`, and a file registered later is not a candidate. Writers
  // that create files while a collection runs need this order.
  Result<GarbageCollectionResult> garbage_collect(const std::function<std::set<std::string>()>& living_files) const;
  // A copy of the managed set (read side of the lock).
  std::set<std::string> managed_paths() const;
  // Removes paths from the set and rewrites .managed.json (garbage collection).
  IoResult<void> forget_managed_paths(const std::set<std::string>& paths) const;
  const Directory& wrapped() const { return *directory_; }

 private:
  struct MetaInformation {
    mutable std::shared_mutex mu;
    std::set<std::string> managed_paths;  // normalized
    // Files whose body already matched its footer's CRC, as "path#length".
    // Index files are written once, so one check per file is enough.
    std::mutex verified_mu;
    std::set<std::string> verified;
  };
  void forget_verified(const std::string& path) const;
  ManagedDirectory(std::unique_ptr<Directory> d, std::shared_ptr<MetaInformation> m)
      : directory_(std::move(d)), meta_(std::move(m)) {}

  std::unique_ptr<Directory> directory_;
  std::shared_ptr<MetaInformation> meta_;
};

// Writes the set as a compact JSON array of strings and a line feed, with the
// wrapped directory's atomic_write.
IoResult<void> save_managed_paths(const Directory& directory, const std::set<std::string>& paths);

}  // namespace fendral
