#include "wal/wal_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/log.h"

namespace zudizid::wal {

namespace {

constexpr const char* kTarget = "zudizid::wal";

std::expected<void, common::IoError> fsync_fd(int fd) {
  while (::fsync(fd) != 0) {
    if (errno != EINTR) return std::unexpected(common::last_os_error());
  }
  return {};
}

// Makes appended bytes durable: fdatasync also syncs the file size the bytes
// need to be read back, and skips only the timestamps, so a commit does not
// pay for writing them.
std::expected<void, common::IoError> sync_appended(int fd) {
  while (::fdatasync(fd) != 0) {
    if (errno != EINTR) return std::unexpected(common::last_os_error());
  }
  return {};
}

// Makes a newly created directory entry durable.
std::expected<void, common::IoError> fsync_parent(const std::filesystem::path& path) {
  std::filesystem::path dir = path.parent_path();
  if (dir.empty()) dir = ".";
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return std::unexpected(common::last_os_error());
  auto r = fsync_fd(fd);
  ::close(fd);
  return r;
}

}  // namespace

WalFile::~WalFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::expected<std::unique_ptr<WalFile>, FrameScanError> WalFile::open(const std::filesystem::path& path,
                                                                      const FrameDecoder& decode) {
  struct stat before;
  bool existed = ::stat(path.c_str(), &before) == 0;
  int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return std::unexpected(common::last_os_error());
  auto fail = [&](FrameScanError e) {
    ::close(fd);
    return std::unexpected(std::move(e));
  };
  if (!existed) {
    if (auto r = fsync_parent(path); !r) return fail(r.error());
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) return fail(common::last_os_error());
  auto scanned = scan_frames(fd, decode);
  if (!scanned) return fail(std::move(scanned.error()));
  const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
  const std::uint64_t valid_end = scanned->valid_end;
  if (valid_end < size) {
    ZLOG(Warn, kTarget,
         "WAL has a torn tail ({} bytes past the last valid record) — truncating (crash during append)",
         size - valid_end);
    if (::ftruncate(fd, static_cast<off_t>(valid_end)) != 0) return fail(common::last_os_error());
    if (auto r = fsync_fd(fd); !r) return fail(r.error());
  }
  ZLOG(Info, kTarget, "WAL opened at {}, size: {} bytes", path.string(), valid_end);
  return std::unique_ptr<WalFile>(new WalFile(path, fd, valid_end));
}

std::expected<std::uint64_t, common::IoError> WalFile::append(std::string_view batch, std::size_t records) {
  if (batch.empty()) return position();

  std::lock_guard file(file_mu_);
  std::lock_guard pos(position_mu_);
  if (poisoned_) {
    return std::unexpected(common::IoError(
        common::IoErrorKind::Other,
        fmt::format("WAL {} is unusable after a failed append that could not be undone; reopen the database",
                    path_.string())));
  }
  const std::uint64_t start = position_;
  auto fail = [&](common::IoError e) -> std::expected<std::uint64_t, common::IoError> {
    if (!undo_failed_append(start)) poisoned_ = true;
    return std::unexpected(std::move(e));
  };
  std::size_t done = 0;
  while (done < batch.size()) {
    ssize_t w = ::write(fd_, batch.data() + done, batch.size() - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      return fail(common::last_os_error());
    }
    if (w == 0) return fail(common::IoError(common::IoErrorKind::WriteZero, "failed to write whole buffer"));
    done += static_cast<std::size_t>(w);
  }
  if (auto r = sync_appended(fd_); !r) return fail(r.error());
  position_ = start + batch.size();
  ZLOG(Debug, kTarget, "WAL append_batch: {} record(s), {} bytes at position {}", records, batch.size(), start);
  return start;
}

bool WalFile::undo_failed_append(std::uint64_t position) {
  // Bytes of a failed append (a partial write, or a write whose fsync failed
  // and whose pages the kernel may have dropped) must not stay in front of
  // the next batch. Cutting back and syncing the cut restores the invariant.
  if (::ftruncate(fd_, static_cast<off_t>(position)) != 0) {
    ZLOG(Error, kTarget, "WAL {}: cannot cut a failed append back to {}: {}", path_.string(), position,
         common::last_os_error().display());
    return false;
  }
  if (auto r = fsync_fd(fd_); !r) {
    ZLOG(Error, kTarget, "WAL {}: cannot sync the cut of a failed append: {}", path_.string(), r.error().display());
    return false;
  }
  return true;
}

std::expected<FrameScanResult, FrameScanError> WalFile::scan(const FrameDecoder& decode) {
  std::lock_guard file(file_mu_);
  return scan_frames(fd_, decode);
}

void WalFile::flush() { std::lock_guard file(file_mu_); }

std::uint64_t WalFile::position() const {
  std::lock_guard pos(position_mu_);
  return position_;
}

}  // namespace zudizid::wal
