// A Directory that keeps every file in memory. Files are immutable buffers:
// every writer flush republishes a new copy of the whole file, so a slice
// taken earlier keeps the content it was made from. An atomic_write of
// meta.json starts the watch callbacks at once.
#pragma once

#include <memory>
#include <shared_mutex>
#include <unordered_map>

#include "fulltext/directory/directory.h"

namespace fendral {

class RamDirectory final : public Directory {
 public:
  RamDirectory();

  std::unique_ptr<Directory> box_clone() const override { return std::make_unique<RamDirectory>(*this); }
  std::string debug() const override { return "RamDirectory"; }
  std::expected<std::shared_ptr<const FileHandle>, OpenReadError> get_file_handle(
      const std::string& path) const override;
  std::expected<FileSlice, OpenReadError> open_read(const std::string& path) const override;
  std::expected<void, DeleteError> delete_file(const std::string& path) const override;
  std::expected<bool, OpenReadError> exists(const std::string& path) const override;
  std::expected<WriteHandle, OpenWriteError> open_write(const std::string& path) const override;
  std::expected<std::vector<uint8_t>, OpenReadError> atomic_read(const std::string& path) const override;
  IoResult<void> atomic_write(const std::string& path, std::span<const uint8_t> bytes) const override;
  IoResult<void> sync_directory() const override { return {}; }
  Result<WatchHandle> watch(WatchCallback callback) const override;

  struct State {
    std::shared_mutex mu;
    std::unordered_map<std::string, FileSlice> files;  // keyed by normalize_path
    WatchCallbackList callbacks;
  };

 private:
  std::shared_ptr<State> state_;
};

}  // namespace fendral
