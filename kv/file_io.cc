#include "kv/file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace kelm {

using zudizid::common::IoError;
using zudizid::common::IoErrorKind;

IoResult<std::shared_ptr<PosixFile>> PosixFile::open(const std::filesystem::path& path, int flags, int mode) {
  int fd;
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return std::unexpected(zudizid::common::last_os_error());
  return std::make_shared<PosixFile>(fd);
}

PosixFile::~PosixFile() {
  if (fd_ >= 0) ::close(fd_);
}

IoResult<size_t> PosixFile::read_at(uint8_t* buf, size_t n, uint64_t offset) {
  ssize_t r = ::pread(fd_, buf, n, static_cast<off_t>(offset));
  if (r < 0) return std::unexpected(zudizid::common::last_os_error());
  return static_cast<size_t>(r);
}

IoResult<size_t> PosixFile::write_at(const uint8_t* buf, size_t n, uint64_t offset) {
  ssize_t r = ::pwrite(fd_, buf, n, static_cast<off_t>(offset));
  if (r < 0) return std::unexpected(zudizid::common::last_os_error());
  return static_cast<size_t>(r);
}

IoResult<void> PosixFile::sync_data() {
  int r;
  do {
    r = ::fdatasync(fd_);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return std::unexpected(zudizid::common::last_os_error());
  return {};
}

IoResult<void> PosixFile::sync_all() {
  int r;
  do {
    r = ::fsync(fd_);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return std::unexpected(zudizid::common::last_os_error());
  return {};
}

void PosixFile::sync_range_hint(uint64_t offset, uint64_t len) {
  // Starts writeback of the range only; durability comes from sync_data.
  (void)::sync_file_range(fd_, static_cast<off_t>(offset), static_cast<off_t>(len), SYNC_FILE_RANGE_WRITE);
}

IoResult<uint64_t> PosixFile::len() {
  struct stat st;
  if (::fstat(fd_, &st) < 0) return std::unexpected(zudizid::common::last_os_error());
  return static_cast<uint64_t>(st.st_size);
}

IoResult<void> PosixFile::set_len(uint64_t len) {
  int r;
  do {
    r = ::ftruncate(fd_, static_cast<off_t>(len));
  } while (r < 0 && errno == EINTR);
  if (r < 0) return std::unexpected(zudizid::common::last_os_error());
  return {};
}

IoResult<size_t> read_up_to_at(File& file, uint8_t* buf, size_t n, uint64_t offset) {
  size_t done = 0;
  while (done < n) {
    auto r = file.read_at(buf + done, n - done, offset + done);
    if (!r) {
      if (r.error().kind() == IoErrorKind::Interrupted) continue;
      return std::unexpected(r.error());
    }
    if (*r == 0) break;
    done += *r;
  }
  return done;
}

IoResult<void> read_all_at(File& file, uint8_t* buf, size_t n, uint64_t offset) {
  auto r = read_up_to_at(file, buf, n, offset);
  if (!r) return std::unexpected(r.error());
  if (*r < n) return std::unexpected(IoError(IoErrorKind::UnexpectedEof, "failed to fill whole buffer"));
  return {};
}

IoResult<void> write_all_at(File& file, const uint8_t* buf, size_t n, uint64_t offset) {
  size_t done = 0;
  while (done < n) {
    auto r = file.write_at(buf + done, n - done, offset + done);
    if (!r) {
      if (r.error().kind() == IoErrorKind::Interrupted) continue;
      return std::unexpected(r.error());
    }
    if (*r == 0) return std::unexpected(IoError(IoErrorKind::WriteZero, "failed to write whole buffer"));
    done += *r;
  }
  return {};
}

IoResult<void> write_zeros_at(File& file, uint64_t n, uint64_t offset) {
  static const std::vector<uint8_t> zeros(1 << 16, 0);
  while (n > 0) {
    size_t chunk = static_cast<size_t>(std::min<uint64_t>(n, zeros.size()));
    if (auto r = write_all_at(file, zeros.data(), chunk, offset); !r) return r;
    n -= chunk;
    offset += chunk;
  }
  return {};
}

}  // namespace kelm
