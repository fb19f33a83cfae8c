#include "index/metadata_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace zudizid::index {

namespace {

class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now, reporting the error close may carry for buffered writes.
  int close() {
    int rc = ::close(fd_);
    fd_ = -1;
    return rc;
  }

 private:
  int fd_;
};

std::unexpected<common::IoError> os_error() {
  return std::unexpected(common::IoError::from_os(errno));
}

}  // namespace

std::expected<void, common::IoError> write_file_atomically(const std::filesystem::path& dir,
                                                           const std::string& name,
                                                           const std::string& bytes) {
  const std::filesystem::path target = dir / name;
  const std::filesystem::path tmp = dir / (name + ".tmp");
  auto fail = [&](int saved) {
    ::unlink(tmp.c_str());
    return std::unexpected(common::IoError::from_os(saved));
  };
  {
    Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
    if (fd.get() < 0) return os_error();
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        return fail(errno);
      }
      done += static_cast<std::size_t>(n);
    }
    if (::fsync(fd.get()) != 0) return fail(errno);
    if (fd.close() != 0) return fail(errno);
  }
  if (::rename(tmp.c_str(), target.c_str()) != 0) return fail(errno);
  Fd dfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dfd.get() < 0) return os_error();
  if (::fsync(dfd.get()) != 0) return os_error();
  return {};
}

std::expected<std::optional<std::string>, common::IoError> read_whole_file(
    const std::filesystem::path& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    if (errno == ENOENT) return std::optional<std::string>{};
    return os_error();
  }
  std::string out;
  char buf[65536];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_error();
    }
    if (n == 0) break;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return std::optional<std::string>(std::move(out));
}

}  // namespace zudizid::index
