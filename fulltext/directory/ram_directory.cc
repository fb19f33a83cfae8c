#include "fulltext/directory/ram_directory.h"

#include <mutex>

#include "common/log.h"

namespace fendral {

namespace {

class RamFileWriter final : public TerminatingWrite {
 public:
  RamFileWriter(std::string path, std::shared_ptr<RamDirectory::State> state)
      : path_(std::move(path)), state_(std::move(state)) {}
  ~RamFileWriter() override {
    if (!is_flushed_) {
      ZLOG(Warn, "fendral::directory::ram_directory",
           "You forgot to flush {} before its writer got Drop. Do not rely on drop. This also occurs when the "
           "indexer crashed, so you may want to check the logs for the root cause.",
           debug_quote(path_));
    }
  }
  IoResult<size_t> write(std::span<const uint8_t> bytes) override {
    is_flushed_ = false;
    data_.insert(data_.end(), bytes.begin(), bytes.end());
    return bytes.size();
  }
  IoResult<void> flush() override {
    is_flushed_ = true;
    FileSlice copy(OwnedBytes::copy_of(data_));
    std::unique_lock lock(state_->mu);
    state_->files.insert_or_assign(normalize_path(path_), std::move(copy));
    return {};
  }
  IoResult<void> terminate_ref() override { return flush(); }

 private:
  std::string path_;
  std::shared_ptr<RamDirectory::State> state_;
  std::vector<uint8_t> data_;
  bool is_flushed_ = true;
};

}  // namespace

RamDirectory::RamDirectory() : state_(std::make_shared<State>()) {}

std::expected<FileSlice, OpenReadError> RamDirectory::open_read(const std::string& path) const {
  std::shared_lock lock(state_->mu);
  auto it = state_->files.find(normalize_path(path));
  if (it == state_->files.end()) return std::unexpected(OpenReadError::file_does_not_exist(path));
  return it->second;
}

std::expected<std::shared_ptr<const FileHandle>, OpenReadError> RamDirectory::get_file_handle(
    const std::string& path) const {
  auto slice = open_read(path);
  if (!slice) return std::unexpected(slice.error());
  return std::make_shared<const FileSliceHandle>(std::move(*slice));
}

std::expected<void, DeleteError> RamDirectory::delete_file(const std::string& path) const {
  std::unique_lock lock(state_->mu);
  if (state_->files.erase(normalize_path(path)) == 0) return std::unexpected(DeleteError::file_does_not_exist(path));
  return {};
}

std::expected<bool, OpenReadError> RamDirectory::exists(const std::string& path) const {
  std::shared_lock lock(state_->mu);
  return state_->files.contains(normalize_path(path));
}

std::expected<WriteHandle, OpenWriteError> RamDirectory::open_write(const std::string& path) const {
  {
    std::unique_lock lock(state_->mu);
    std::string key = normalize_path(path);
    if (state_->files.contains(key)) return std::unexpected(OpenWriteError::file_already_exists(path));
    state_->files.emplace(std::move(key), FileSlice());
  }
  return std::make_unique<BufferedWriter>(std::make_unique<RamFileWriter>(path, state_));
}

std::expected<std::vector<uint8_t>, OpenReadError> RamDirectory::atomic_read(const std::string& path) const {
  auto slice = open_read(path);
  if (!slice) return std::unexpected(slice.error());
  auto bytes = slice->read_all();
  if (!bytes) return std::unexpected(OpenReadError::io(bytes.error(), path));
  return std::vector<uint8_t>(bytes->as_bytes().begin(), bytes->as_bytes().end());
}

IoResult<void> RamDirectory::atomic_write(const std::string& path, std::span<const uint8_t> bytes) const {
  FileSlice copy(OwnedBytes::copy_of(bytes));
  {
    std::unique_lock lock(state_->mu);
    state_->files.insert_or_assign(normalize_path(path), std::move(copy));
  }
  if (same_path(path, "meta.json")) {
    std::unique_lock lock(state_->mu);
    (void)state_->callbacks.broadcast();  // not awaited: callbacks run on their own thread
  }
  return {};
}

Result<WatchHandle> RamDirectory::watch(WatchCallback callback) const {
  std::unique_lock lock(state_->mu);
  return state_->callbacks.subscribe(std::move(callback));
}

}  // namespace fendral
