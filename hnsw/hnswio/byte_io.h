// Buffered byte input and output of the dump files: fixed-width fields in the
// host's byte order (little-endian on x86-64), no gaps.
//
// A Reader reads a file through a buffer (8192 bytes unless asked otherwise),
// or a region of memory
// (a mapped file) directly; it always knows how many bytes remain, so that
// every count read from a file is checked before it sizes anything. The
// first failure sticks: later reads fail too, and error() tells why.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace vantor::hnswio {

class Reader {
 public:
  static constexpr size_t kBufferSize = 8192;

  // Takes ownership of fd; size is the file's length.
  Reader(int fd, uint64_t size, size_t buffer_size = kBufferSize);
  // Reads [data, data + size) in place; the memory must outlive the reader.
  Reader(const unsigned char* data, uint64_t size);
  Reader(Reader&& o) noexcept;
  Reader& operator=(Reader&&) = delete;
  Reader(const Reader&) = delete;
  ~Reader();

  bool read(void* dst, size_t n) {
    if (n <= static_cast<size_t>(end_ - pos_)) {
      std::memcpy(dst, pos_, n);
      pos_ += n;
      return true;
    }
    return read_slow(dst, n);
  }
  template <class V>
  bool get(V& v) {
    return read(&v, sizeof(V));
  }
  bool skip(uint64_t n);
  // The next n bytes in place when they lie whole in the bytes in view
  // (moving past them), else nullptr with nothing read: the caller then
  // copies them out with read().
  const unsigned char* take(size_t n) {
    if (n > static_cast<size_t>(end_ - pos_)) return nullptr;
    const unsigned char* at = pos_;
    pos_ += n;
    return at;
  }

  uint64_t offset() const { return base_offset_ + static_cast<uint64_t>(pos_ - window_); }
  uint64_t remaining() const { return size_ - offset(); }
  // In memory mode, the byte at the current offset.
  const unsigned char* here() const { return pos_; }
  bool in_memory() const { return fd_ < 0; }
  const std::string& error() const { return error_; }

 private:
  bool read_slow(void* dst, size_t n);
  bool fail(std::string why);

  int fd_ = -1;
  uint64_t size_ = 0;
  std::vector<unsigned char> buffer_;
  const unsigned char* window_ = nullptr;  // start of the bytes in view
  const unsigned char* pos_ = nullptr;
  const unsigned char* end_ = nullptr;
  uint64_t base_offset_ = 0;  // file offset of window_
  std::string error_;
};

// Writes a file through an 8192-byte buffer. The first failure sticks.
class Writer {
 public:
  static constexpr size_t kBufferSize = 8192;

  explicit Writer(int fd) : fd_(fd) { buffer_.reserve(kBufferSize); }
  Writer(const Writer&) = delete;
  ~Writer();

  bool write(const void* src, size_t n);
  template <class V>
  bool put(const V& v) {
    return write(&v, sizeof(V));
  }
  bool put_string(const std::string& s) {
    uint64_t n = s.size();
    return put(n) && write(s.data(), s.size());
  }
  // Writes out the buffer and syncs the file to the disk.
  bool flush_and_sync();
  const std::string& error() const { return error_; }

 private:
  bool drain();
  bool fail(std::string why);

  int fd_;
  std::vector<unsigned char> buffer_;
  std::string error_;
};

// Opens a file for reading; -1 with the OS message in *why on failure.
int open_for_reading(const std::string& path, uint64_t* size, std::string* why);

}  // namespace vantor::hnswio
