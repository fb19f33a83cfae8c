#include "fulltext/directory/directory.h"

#include <chrono>
#include <filesystem>
#include <thread>

#include "common/log.h"

namespace fendral {

const char kIndexWriterLockMessage[] =
    "Failed to acquire index lock. If you are using a regular directory, this means there is already an "
    "`IndexWriter` working on this `Directory`, in this process or in a different process.";

const Lock& index_writer_lock() {
  static const Lock lock{".fendral-writer.lock", false};
  return lock;
}

const Lock& meta_lock() {
  static const Lock lock{".fendral-meta.lock", true};
  return lock;
}

std::string normalize_path(std::string_view p) {
  std::string out;
  size_t i = 0;
  bool absolute = !p.empty() && p[0] == '/';
  while (i <= p.size()) {
    size_t j = p.find('/', i);
    if (j == std::string_view::npos) j = p.size();
    std::string_view comp = p.substr(i, j - i);
    // Empty components and "." after the first one are no components.
    if (!comp.empty() && !(comp == "." && !out.empty())) {
      if (!out.empty() || absolute) out.push_back('/');
      out.append(comp);
    }
    i = j + 1;
  }
  if (out.empty() && absolute) out.push_back('/');
  return out;
}

bool same_path(std::string_view a, std::string_view b) { return normalize_path(a) == normalize_path(b); }

std::expected<FileSlice, OpenReadError> Directory::open_read(const std::string& path) const {
  auto handle = get_file_handle(path);
  if (!handle) return std::unexpected(handle.error());
  return FileSlice(std::move(*handle));
}

std::expected<DirectoryLock, LockError> Directory::acquire_lock(const Lock& lock) const {
  return default_acquire_lock(*this, lock);
}

namespace {

class LockFileGuard final : public DirectoryLock::Releaser {
 public:
  LockFileGuard(std::unique_ptr<Directory> dir, std::string path) : dir_(std::move(dir)), path_(std::move(path)) {}
  ~LockFileGuard() override {
    auto r = dir_->delete_file(path_);
    if (!r) ZLOG(Error, "fendral::directory::directory", "Failed to remove the lock file. {}", r.error().debug());
  }

 private:
  std::unique_ptr<Directory> dir_;
  std::string path_;
};

}  // namespace

std::expected<DirectoryLock, LockError> default_acquire_lock(const Directory& dir, const Lock& lock) {
  std::unique_ptr<Directory> clone = dir.box_clone();
  int retries = lock.is_blocking ? 100 : 0;
  while (true) {
    auto writer = clone->open_write(lock.filepath);
    if (writer) {
      if (auto r = (*writer)->flush(); !r) return std::unexpected(LockError::io(r.error()));
      writer->reset();
      return DirectoryLock(std::make_unique<LockFileGuard>(std::move(clone), lock.filepath));
    }
    if (writer.error().kind == OpenWriteError::Kind::IoError) {
      return std::unexpected(LockError::io(*writer.error().io_error));
    }
    if (retries == 0) return std::unexpected(LockError::busy());
    --retries;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
}

}  // namespace fendral
