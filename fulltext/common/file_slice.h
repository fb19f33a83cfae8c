// FileHandle: a readable file shared by reference count. FileSlice: a cheap
// window onto a handle; slicing never copies bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "fulltext/common/owned_bytes.h"
#include "fulltext/error/error.h"

namespace fendral {

class FileHandle {
 public:
  virtual ~FileHandle() = default;
  virtual size_t len() const = 0;
  bool is_empty() const { return len() == 0; }
  virtual std::string debug() const = 0;
  // Bytes of [from, to). Contract: from <= to <= len.
  virtual IoResult<OwnedBytes> read(size_t from, size_t to) const = 0;
};

// OwnedBytes as a file: reads lend sub-ranges of the same buffer.
class OwnedBytesHandle final : public FileHandle {
 public:
  explicit OwnedBytesHandle(OwnedBytes bytes) : bytes_(std::move(bytes)) {}
  size_t len() const override { return bytes_.len(); }
  std::string debug() const override { return bytes_.debug(); }
  IoResult<OwnedBytes> read(size_t from, size_t to) const override;

 private:
  OwnedBytes bytes_;
};

class FileSlice {
 public:
  FileSlice() : FileSlice(OwnedBytes::empty()) {}
  explicit FileSlice(std::shared_ptr<const FileHandle> handle)
      : handle_(std::move(handle)), start_(0), end_(handle_->len()) {}
  explicit FileSlice(OwnedBytes bytes) : FileSlice(std::make_shared<const OwnedBytesHandle>(std::move(bytes))) {}
  FileSlice(std::shared_ptr<const FileHandle> handle, size_t start, size_t end)
      : handle_(std::move(handle)), start_(start), end_(end) {}

  size_t len() const { return end_ >= start_ ? end_ - start_ : 0; }
  bool is_empty() const { return len() == 0; }
  size_t start() const { return start_; }
  size_t end() const { return end_; }
  const std::shared_ptr<const FileHandle>& handle() const { return handle_; }

  // Window [from, to) relative to this slice. Contract violations stop with
  // the assertion texts "assertion failed: start <= orig_range.end",
  // "... end >= start" and "... end <= orig_range.end".
  FileSlice sub_slice(size_t from, size_t to) const;
  // Checked form for offsets taken from stored data: an out-of-range window
  // is an InvalidData error instead of a contract violation.
  IoResult<FileSlice> checked_sub_slice(size_t from, size_t to) const;
  FileSlice suffix_from(size_t offset) const { return sub_slice(offset, len()); }
  FileSlice prefix(size_t n) const { return sub_slice(0, n); }
  FileSlice tail(size_t n) const { return sub_slice(len() - n, len()); }
  std::pair<FileSlice, FileSlice> split(size_t offset) const;

  IoResult<OwnedBytes> read_all() const { return read_range(0, len()); }
  // Bytes [from, to) relative to the slice start. A range past the slice is
  // an InvalidInput error "end of requested range exceeds the fileslice
  // length ({} > {})".
  IoResult<OwnedBytes> read_range(size_t from, size_t to) const;

  std::string debug() const;

 private:
  std::shared_ptr<const FileHandle> handle_;
  size_t start_;
  size_t end_;
};

// A FileSlice handed out wherever a file is expected.
class FileSliceHandle final : public FileHandle {
 public:
  explicit FileSliceHandle(FileSlice slice) : slice_(std::move(slice)) {}
  size_t len() const override { return slice_.len(); }
  std::string debug() const override { return slice_.debug(); }
  IoResult<OwnedBytes> read(size_t from, size_t to) const override { return slice_.read_range(from, to); }

 private:
  FileSlice slice_;
};

}  // namespace fendral
