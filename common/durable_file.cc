#include "common/durable_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <random>

namespace zudizid::common {

namespace {

int open_retrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

int fsync_retrying(int fd) {
  int rc;
  do {
    rc = ::fsync(fd);
  } while (rc != 0 && errno == EINTR);
  return rc;
}

// Opens the temporary for writing; fills `path` with its name.
std::expected<int, IoError> create_temp(const std::filesystem::path& target, const std::filesystem::path& dir,
                                        const DurableWriteOptions& options, std::filesystem::path& path) {
  if (options.temp_name == DurableWriteOptions::TempName::Suffix) {
    path = target;
    path += options.temp_suffix;
    int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, options.mode);
    if (fd < 0) return std::unexpected(last_os_error());
    return fd;
  }
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937_64 rng(std::random_device{}());
  for (int attempt = 0; attempt < 65536; ++attempt) {
    std::string name = ".tmp";
    for (int i = 0; i < 6; ++i) name.push_back(kChars[rng() % 62]);
    path = dir / name;
    int fd = open_retrying(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, options.mode);
    if (fd >= 0) return fd;
    if (errno != EEXIST) return std::unexpected(last_os_error());
  }
  path.clear();
  return std::unexpected(IoError(IoErrorKind::AlreadyExists,
                                 "too many temporary files exist at path " + debug_quote(dir.string())));
}

}  // namespace

std::expected<void, DurableWriteError> write_file_durably(const std::filesystem::path& target,
                                                          std::span<const std::uint8_t> bytes,
                                                          const DurableWriteOptions& options) {
  const std::filesystem::path parent = target.parent_path();
  const std::filesystem::path dir = parent.empty() ? std::filesystem::path(".") : parent;
  std::filesystem::path temp;
  auto fd = create_temp(target, dir, options, temp);
  if (!fd) return std::unexpected(DurableWriteError{DurableWriteStep::CreateTemp, std::move(fd.error()), temp});

  auto fail = [&](DurableWriteStep step, int saved_errno) {
    ::unlink(temp.c_str());
    return std::unexpected(DurableWriteError{step, IoError::from_os(saved_errno), temp});
  };
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(*fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      int saved = errno;
      ::close(*fd);
      return fail(DurableWriteStep::Write, saved);
    }
    done += static_cast<std::size_t>(n);
  }
  if (fsync_retrying(*fd) != 0) {
    int saved = errno;
    ::close(*fd);
    return fail(DurableWriteStep::SyncFile, saved);
  }
  // close can report a deferred write error (network file systems).
  if (::close(*fd) != 0 && errno != EINTR) return fail(DurableWriteStep::SyncFile, errno);
  if (::rename(temp.c_str(), target.c_str()) != 0) return fail(DurableWriteStep::Rename, errno);
  if (auto r = sync_directory(dir); !r)
    return std::unexpected(DurableWriteError{DurableWriteStep::SyncDirectory, std::move(r.error()), temp});
  return {};
}

std::expected<void, IoError> sync_directory(const std::filesystem::path& dir) {
  const std::filesystem::path path = dir.empty() ? std::filesystem::path(".") : dir;
  int fd = open_retrying(path.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return std::unexpected(last_os_error());
  int rc = fsync_retrying(fd);
  IoError err = last_os_error();
  ::close(fd);
  if (rc != 0) return std::unexpected(std::move(err));
  return {};
}

}  // namespace zudizid::common
