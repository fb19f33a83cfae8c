#include "index/metadata_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/durable_file.h"

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
  auto r = common::write_file_durably(
      dir / name, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));  // name + ".tmp"
  if (!r) return std::unexpected(std::move(r.error().error));
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
