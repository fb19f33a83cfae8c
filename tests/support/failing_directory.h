// A Directory wrapper for fault tests of Fendral: it forwards everything to
// an inner directory and fails, once, the Nth write or the Nth sync counted
// from the moment a fault is armed.
//
//   auto plan = std::make_shared<FaultPlan>();
//   auto dir = ManagedDirectory::wrap(std::make_unique<FailingDirectory>(std::make_unique<RamDirectory>(), plan));
//   plan->arm(FaultPlan::Kind::Write, 3);     // the third write from now fails
//
// Writes: each raw write of a file writer (below its 8 KiB buffer) and each
// atomic_write. Syncs: each file writer's terminate (its data made durable),
// each atomic_write and each sync_directory. A failing write changes
// nothing; a failing atomic_write sync has already replaced the file, as a
// real fsync error may leave it. Lock files are never failed: they are not
// data.
#pragma once

#include <atomic>
#include <memory>

#include "fulltext/directory/directory.h"

namespace fendral::testing {

class FaultPlan {
 public:
  enum class Kind { Write, Sync };
  // Fails the nth (1-based) operation of that kind from now on; disarms the
  // other kind.
  void arm(Kind kind, uint64_t nth);
  void disarm();
  bool fired() const { return fired_.load(); }

  // Counted by the directory; true when this operation must fail.
  bool on_write() { return hit(write_countdown_); }
  bool on_sync() { return hit(sync_countdown_); }

 private:
  bool hit(std::atomic<int64_t>& countdown);
  std::atomic<int64_t> write_countdown_{0};  // 0: disarmed
  std::atomic<int64_t> sync_countdown_{0};
  std::atomic<bool> fired_{false};
};

class FailingDirectory final : public Directory {
 public:
  FailingDirectory(std::unique_ptr<Directory> inner, std::shared_ptr<FaultPlan> plan)
      : inner_(std::move(inner)), plan_(std::move(plan)) {}

  std::unique_ptr<Directory> box_clone() const override {
    return std::make_unique<FailingDirectory>(inner_->box_clone(), plan_);
  }
  std::string debug() const override { return "FailingDirectory(" + inner_->debug() + ")"; }
  std::expected<std::shared_ptr<const FileHandle>, OpenReadError> get_file_handle(
      const std::string& path) const override {
    return inner_->get_file_handle(path);
  }
  std::expected<FileSlice, OpenReadError> open_read(const std::string& path) const override {
    return inner_->open_read(path);
  }
  std::expected<void, DeleteError> delete_file(const std::string& path) const override {
    return inner_->delete_file(path);
  }
  std::expected<bool, OpenReadError> exists(const std::string& path) const override { return inner_->exists(path); }
  std::expected<WriteHandle, OpenWriteError> open_write(const std::string& path) const override;
  std::expected<std::vector<uint8_t>, OpenReadError> atomic_read(const std::string& path) const override {
    return inner_->atomic_read(path);
  }
  IoResult<void> atomic_write(const std::string& path, std::span<const uint8_t> bytes) const override;
  IoResult<void> sync_directory() const override;
  std::expected<DirectoryLock, LockError> acquire_lock(const Lock& lock) const override {
    return inner_->acquire_lock(lock);
  }
  Result<WatchHandle> watch(WatchCallback callback) const override { return inner_->watch(std::move(callback)); }

 private:
  std::unique_ptr<Directory> inner_;
  std::shared_ptr<FaultPlan> plan_;
};

}  // namespace fendral::testing
