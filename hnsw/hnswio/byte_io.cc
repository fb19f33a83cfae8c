#include "hnsw/hnswio/byte_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace vantor::hnswio {

namespace {
std::string os_text(int e) { return std::string(std::strerror(e)) + " (os error " + std::to_string(e) + ")"; }
}  // namespace

// The buffer never outgrows the file: a reload of a small dump should not
// clear a megabyte it will never fill.
Reader::Reader(int fd, uint64_t size, size_t buffer_size)
    : fd_(fd), size_(size), buffer_(static_cast<size_t>(std::clamp<uint64_t>(size, 1, buffer_size))) {
  window_ = pos_ = end_ = buffer_.data();
}

Reader::Reader(const unsigned char* data, uint64_t size) : size_(size) {
  window_ = pos_ = data;
  end_ = data + size;
}

Reader::Reader(Reader&& o) noexcept
    : fd_(o.fd_), size_(o.size_), buffer_(std::move(o.buffer_)), base_offset_(o.base_offset_), error_(std::move(o.error_)) {
  if (fd_ >= 0) {
    // The buffer's storage moved with it.
    window_ = buffer_.data();
    pos_ = window_ + (o.pos_ - o.window_);
    end_ = window_ + (o.end_ - o.window_);
  } else {
    window_ = o.window_;
    pos_ = o.pos_;
    end_ = o.end_;
  }
  o.fd_ = -1;
}

Reader::~Reader() {
  if (fd_ >= 0) ::close(fd_);
}

bool Reader::fail(std::string why) {
  if (error_.empty()) error_ = std::move(why);
  pos_ = end_;
  return false;
}

bool Reader::read_slow(void* dst, size_t n) {
  if (!error_.empty()) return false;
  auto* out = static_cast<unsigned char*>(dst);
  size_t have = static_cast<size_t>(end_ - pos_);
  std::memcpy(out, pos_, have);
  out += have;
  n -= have;
  pos_ = end_;
  if (fd_ < 0) return fail("failed to fill whole buffer");
  while (n > 0) {
    base_offset_ += static_cast<uint64_t>(end_ - window_);
    ssize_t r = ::read(fd_, buffer_.data(), buffer_.size());
    if (r < 0) {
      if (errno == EINTR) {
        window_ = pos_ = end_ = buffer_.data();
        continue;
      }
      return fail(os_text(errno));
    }
    window_ = pos_ = buffer_.data();
    end_ = window_ + r;
    if (r == 0) return fail("failed to fill whole buffer");
    size_t take = std::min(n, static_cast<size_t>(r));
    std::memcpy(out, pos_, take);
    pos_ += take;
    out += take;
    n -= take;
  }
  return true;
}

bool Reader::skip(uint64_t n) {
  if (n > remaining()) return fail("failed to fill whole buffer");
  uint64_t in_view = static_cast<uint64_t>(end_ - pos_);
  if (n <= in_view) {
    pos_ += n;
    return true;
  }
  // Past the buffer: move the file position instead of reading.
  uint64_t target = offset() + n;
  if (::lseek(fd_, static_cast<off_t>(target), SEEK_SET) < 0) return fail(os_text(errno));
  base_offset_ = target;
  window_ = pos_ = end_ = buffer_.data();
  return true;
}

Writer::~Writer() {
  if (fd_ >= 0) ::close(fd_);
}

bool Writer::fail(std::string why) {
  if (error_.empty()) error_ = std::move(why);
  return false;
}

bool Writer::drain() {
  size_t done = 0;
  while (done < buffer_.size()) {
    ssize_t w = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
    if (w < 0) {
      if (errno == EINTR) continue;
      return fail(os_text(errno));
    }
    done += static_cast<size_t>(w);
  }
  buffer_.clear();
  return true;
}

bool Writer::write(const void* src, size_t n) {
  if (!error_.empty()) return false;
  const auto* p = static_cast<const unsigned char*>(src);
  while (n > 0) {
    size_t room = kBufferSize - buffer_.size();
    if (room == 0) {
      if (!drain()) return false;
      continue;
    }
    size_t take = std::min(room, n);
    buffer_.insert(buffer_.end(), p, p + take);
    p += take;
    n -= take;
  }
  return true;
}

bool Writer::flush_and_sync() {
  if (!error_.empty()) return false;
  if (!drain()) return false;
  if (::fsync(fd_) != 0) return fail(os_text(errno));
  return true;
}

int open_for_reading(const std::string& path, uint64_t* size, std::string* why) {
  if (path.find('\0') != std::string::npos) {
    *why = "a file name cannot hold a NUL byte";
    return -1;
  }
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *why = os_text(errno);
    return -1;
  }
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    *why = os_text(errno);
    ::close(fd);
    return -1;
  }
  if (!S_ISREG(st.st_mode)) {
    *why = "not a regular file";
    ::close(fd);
    return -1;
  }
  *size = static_cast<uint64_t>(st.st_size);
  return fd;
}

}  // namespace vantor::hnswio
