#include "fulltext/directory/mmap_directory.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <system_error>
#include <thread>

#include "common/crc32.h"
#include "common/durable_file.h"
#include "common/log.h"
#include "common/thread_name.h"
#include "fulltext/common/utf8.h"

namespace fendral {

namespace {

constexpr const char* kTarget = "fendral::directory::mmap_directory";
constexpr const char* kWatcherTarget = "fendral::directory::mmap_directory::file_watcher";

std::string join(const std::string& root, const std::string& rel) {
  if (!rel.empty() && rel[0] == '/') return rel;
  return root + "/" + rel;
}

std::string parent_of(const std::string& full) {
  size_t slash = full.find_last_of('/');
  if (slash == std::string::npos) return {};
  if (slash == 0) return "/";
  return full.substr(0, slash);
}

IoError last_error() { return IoError::from_os(errno); }

// A read-only shared mapping of a whole file.
struct Mmap {
  void* addr = nullptr;
  size_t len = 0;
  ~Mmap() {
    if (addr) munmap(addr, len);
  }
};

struct FileWatcher {
  std::string path;
  WatchCallbackList callbacks;
  std::atomic<int> state{0};  // 0 not started, 1 running, 2 stop requested
};

// Raw writer of a new file: one descriptor, no buffer of its own; terminate
// makes the data durable.
class MmapFileWriter final : public TerminatingWrite {
 public:
  explicit MmapFileWriter(int fd) : fd_(fd) {}
  ~MmapFileWriter() override { ::close(fd_); }
  IoResult<size_t> write(std::span<const uint8_t> bytes) override {
    ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0) return std::unexpected(last_error());
    return static_cast<size_t>(n);
  }
  IoResult<void> flush() override { return {}; }
  IoResult<void> terminate_ref() override {
    while (::fdatasync(fd_) != 0) {
      if (errno != EINTR) return std::unexpected(last_error());
    }
    return {};
  }

 private:
  int fd_;
};

class FileLock final : public DirectoryLock::Releaser {
 public:
  FileLock(std::string path, int fd) : path_(std::move(path)), fd_(fd) {}
  ~FileLock() override {
    ZLOG(Debug, kTarget, "Releasing lock {}", debug_quote(path_));
    ::close(fd_);
  }

 private:
  std::string path_;
  int fd_;
};

void watcher_loop(std::shared_ptr<FileWatcher> watcher) {
  zudizid::common::set_current_thread_name("thread-fendral-meta-file-watcher");
  std::optional<uint32_t> remembered;
  while (watcher->state.load() == 1) {
    int fd = ::open(watcher->path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      IoError e = last_error();
      ZLOG(Warn, kWatcherTarget, "Failed to open meta file {}: {}", debug_quote(watcher->path), e.debug());
    } else {
      std::vector<uint8_t> content;
      uint8_t buf[8192];
      bool ok = true;
      while (true) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
          if (errno == EINTR) continue;
          ok = false;
          break;
        }
        if (n == 0) break;
        content.insert(content.end(), buf, buf + n);
      }
      ::close(fd);
      std::optional<uint32_t> crc = ok ? meta_file_lines_crc(content) : std::nullopt;
      if (crc && crc != remembered) {
        ZLOG(Info, kWatcherTarget, "Meta file {} was modified", debug_quote(watcher->path));
        (void)watcher->callbacks.broadcast().wait();
        remembered = crc;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
}

}  // namespace

std::optional<uint32_t> meta_file_lines_crc(std::span<const uint8_t> content) {
  uint32_t crc = 0;
  size_t i = 0;
  while (i < content.size()) {
    size_t j = i;
    while (j < content.size() && content[j] != '\n') ++j;
    size_t end = j;
    if (j < content.size() && end > i && content[end - 1] == '\r') --end;
    auto line = content.subspan(i, end - i);
    if (!is_valid_utf8(line)) return std::nullopt;
    crc = zudizid::common::crc32(crc, line.data(), line.size());
    i = j + 1;
  }
  return crc;
}

struct MmapDirectory::State {
  std::string root_path;
  std::shared_ptr<FileWatcher> watcher;
  std::mutex cache_mu;
  std::unordered_map<std::string, std::weak_ptr<Mmap>> cache;
  ~State() { watcher->state.store(2); }
};

std::expected<MmapDirectory, OpenDirectoryError> MmapDirectory::open(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return std::unexpected(OpenDirectoryError::does_not_exist(path));
  char* canonical = ::realpath(path.c_str(), nullptr);
  if (!canonical) return std::unexpected(OpenDirectoryError::io(last_error(), path));
  std::string root(canonical);
  std::free(canonical);
  if (::stat(root.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    return std::unexpected(OpenDirectoryError::not_a_directory(path));
  }
  auto state = std::make_shared<State>();
  state->root_path = root;
  state->watcher = std::make_shared<FileWatcher>();
  state->watcher->path = join(root, "meta.json");
  return MmapDirectory(std::move(state));
}

const std::string& MmapDirectory::root_path() const { return state_->root_path; }

std::string MmapDirectory::debug() const { return "MmapDirectory(" + debug_quote(state_->root_path) + ")"; }

std::expected<std::shared_ptr<const FileHandle>, OpenReadError> MmapDirectory::get_file_handle(
    const std::string& path) const {
  ZLOG(Debug, kTarget, "Open Read {}", debug_quote(path));
  std::string full = join(state_->root_path, path);
  std::lock_guard lock(state_->cache_mu);
  auto it = state_->cache.find(full);
  if (it != state_->cache.end()) {
    if (auto map = it->second.lock()) {
      auto* bytes = static_cast<const uint8_t*>(map->addr);
      size_t len = map->len;
      return std::make_shared<const OwnedBytesHandle>(OwnedBytes(bytes, len, std::move(map)));
    }
    state_->cache.erase(it);
  }
  int fd = ::open(full.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    IoError e = last_error();
    if (e.kind() == IoErrorKind::NotFound) return std::unexpected(OpenReadError::file_does_not_exist(full));
    return std::unexpected(OpenReadError::io(e, full));
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    IoError e = last_error();
    ::close(fd);
    return std::unexpected(OpenReadError::io(e, full));
  }
  if (st.st_size == 0) {
    ::close(fd);
    return std::make_shared<const OwnedBytesHandle>(OwnedBytes::empty());
  }
  size_t len = static_cast<size_t>(st.st_size);
  void* addr = ::mmap(nullptr, len, PROT_READ, MAP_SHARED, fd, 0);
  IoError map_error = last_error();
  ::close(fd);
  if (addr == MAP_FAILED) return std::unexpected(OpenReadError::io(map_error, full));
  auto map = std::make_shared<Mmap>();
  map->addr = addr;
  map->len = len;
  state_->cache[full] = map;
  return std::make_shared<const OwnedBytesHandle>(OwnedBytes(static_cast<const uint8_t*>(addr), len, std::move(map)));
}

std::expected<void, DeleteError> MmapDirectory::delete_file(const std::string& path) const {
  std::string full = join(state_->root_path, path);
  if (::unlink(full.c_str()) != 0) {
    IoError e = last_error();
    if (e.kind() == IoErrorKind::NotFound) return std::unexpected(DeleteError::file_does_not_exist(path));
    return std::unexpected(DeleteError::io(e, path));
  }
  return {};
}

std::expected<bool, OpenReadError> MmapDirectory::exists(const std::string& path) const {
  struct stat st;
  if (::stat(join(state_->root_path, path).c_str(), &st) == 0) return true;
  IoError e = last_error();
  if (e.kind() == IoErrorKind::NotFound) return false;
  return std::unexpected(OpenReadError::io(e, path));
}

std::expected<WriteHandle, OpenWriteError> MmapDirectory::open_write(const std::string& path) const {
  ZLOG(Debug, kTarget, "Open Write {}", debug_quote(path));
  std::string full = join(state_->root_path, path);
  int fd = ::open(full.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0) {
    IoError e = last_error();
    if (e.kind() == IoErrorKind::AlreadyExists) return std::unexpected(OpenWriteError::file_already_exists(path));
    return std::unexpected(OpenWriteError::io(e, path));
  }
  return std::make_unique<BufferedWriter>(std::make_unique<MmapFileWriter>(fd));
}

std::expected<std::vector<uint8_t>, OpenReadError> MmapDirectory::atomic_read(const std::string& path) const {
  std::string full = join(state_->root_path, path);
  int fd = ::open(full.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    IoError e = last_error();
    if (e.kind() == IoErrorKind::NotFound) return std::unexpected(OpenReadError::file_does_not_exist(path));
    return std::unexpected(OpenReadError::io(e, path));
  }
  std::vector<uint8_t> out;
  struct stat st;
  if (::fstat(fd, &st) == 0 && st.st_size > 0) out.reserve(static_cast<size_t>(st.st_size));
  uint8_t buf[8192];
  while (true) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      IoError e = last_error();
      ::close(fd);
      return std::unexpected(OpenReadError::io(e, path));
    }
    if (n == 0) break;
    out.insert(out.end(), buf, buf + n);
  }
  ::close(fd);
  return out;
}

IoResult<void> MmapDirectory::atomic_write(const std::string& path, std::span<const uint8_t> bytes) const {
  ZLOG(Debug, kTarget, "Atomic Write {}", debug_quote(path));
  std::string full = join(state_->root_path, path);
  std::string parent = parent_of(full);
  if (parent.empty()) {
    return std::unexpected(
        IoError(IoErrorKind::InvalidInput, fmt::format("Path {} does not have parent directory.", debug_quote(full))));
  }
  zudizid::common::DurableWriteOptions temp;
  temp.temp_name = zudizid::common::DurableWriteOptions::TempName::Unique;
  temp.mode = 0600;
  auto r = zudizid::common::write_file_durably(full, bytes, temp);
  if (r) return {};
  // Failures creating or filling the temporary name it; a temporary that
  // could not be created at all is reported as is.
  zudizid::common::DurableWriteError& e = r.error();
  bool names_temp = (e.step == zudizid::common::DurableWriteStep::CreateTemp && !e.temp.empty()) ||
                    e.step == zudizid::common::DurableWriteStep::Write;
  if (!names_temp) return std::unexpected(std::move(e.error));
  return std::unexpected(
      IoError(e.error.kind(), fmt::format("{} at path {}", e.error.display(), debug_quote(e.temp.string()))));
}

IoResult<void> MmapDirectory::sync_directory() const { return zudizid::common::sync_directory(state_->root_path); }

std::expected<DirectoryLock, LockError> MmapDirectory::acquire_lock(const Lock& lock) const {
  std::string full = join(state_->root_path, lock.filepath);
  int fd = ::open(full.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return std::unexpected(LockError::io(last_error()));
  if (lock.is_blocking) {
    int rc;
    while ((rc = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
      IoError e = last_error();
      ::close(fd);
      return std::unexpected(LockError::io(e));
    }
  } else if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return std::unexpected(LockError::busy());
  }
  return DirectoryLock(std::make_unique<FileLock>(lock.filepath, fd));
}

Result<WatchHandle> MmapDirectory::watch(WatchCallback callback) const {
  WatchHandle handle = state_->watcher->callbacks.subscribe(std::move(callback));
  int expected = 0;
  if (state_->watcher->state.compare_exchange_strong(expected, 1)) {
    try {
      std::thread(watcher_loop, state_->watcher).detach();
    } catch (const std::system_error&) {
      state_->watcher->state.store(0);
      return std::unexpected(FendralError::system_error("Failed to spawn meta file watcher thread"));
    }
  }
  return handle;
}

}  // namespace fendral
