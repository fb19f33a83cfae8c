#include "fulltext/common/file_slice.h"

#include <fmt/format.h>

namespace fendral {

IoResult<OwnedBytes> OwnedBytesHandle::read(size_t from, size_t to) const {
  if (from > to || to > bytes_.len()) {
    return io_fail(IoErrorKind::InvalidInput, fmt::format("range {}..{} out of bounds for length {}", from, to, bytes_.len()));
  }
  return bytes_.sub_range(from, to);
}

FileSlice FileSlice::sub_slice(size_t from, size_t to) const {
  size_t new_start = start_ + from;
  size_t new_end = start_ + to;
  if (new_start > end_ || new_start < start_) contract_violation("assertion failed: start <= orig_range.end");
  if (new_end < new_start) contract_violation("assertion failed: end >= start");
  if (new_end > end_) contract_violation("assertion failed: end <= orig_range.end");
  return FileSlice(handle_, new_start, new_end);
}

IoResult<FileSlice> FileSlice::checked_sub_slice(size_t from, size_t to) const {
  if (from > to || to > len()) {
    return io_fail(IoErrorKind::InvalidData,
                   fmt::format("range {}..{} exceeds the fileslice length {}", from, to, len()));
  }
  return FileSlice(handle_, start_ + from, start_ + to);
}

std::pair<FileSlice, FileSlice> FileSlice::split(size_t offset) const {
  FileSlice left = sub_slice(0, offset);
  return {left, FileSlice(handle_, start_ + offset, end_)};
}

IoResult<OwnedBytes> FileSlice::read_range(size_t from, size_t to) const {
  if (to > len()) {
    return io_fail(IoErrorKind::InvalidInput,
                   fmt::format("end of requested range exceeds the fileslice length ({} > {})", to, len()));
  }
  if (from > to) {
    return io_fail(IoErrorKind::InvalidInput, fmt::format("range start {} exceeds its end {}", from, to));
  }
  return handle_->read(start_ + from, start_ + to);
}

std::string FileSlice::debug() const { return fmt::format("FileSlice({}, {}..{})", handle_->debug(), start_, end_); }

}  // namespace fendral
