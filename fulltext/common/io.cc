#include "fulltext/common/io.h"

namespace fendral {

IoResult<void> Write::write_all(std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    auto n = write(bytes);
    if (!n) {
      if (n.error().kind() == IoErrorKind::Interrupted) continue;
      return std::unexpected(n.error());
    }
    if (*n == 0) return io_fail(IoErrorKind::WriteZero, "failed to write whole buffer");
    bytes = bytes.subspan(*n);
  }
  return {};
}

BufferedWriter::~BufferedWriter() {
  // Like a dropped buffered writer elsewhere: push out what is buffered, but
  // never terminate; errors are ignored here.
  if (inner_ && !buffer_.empty()) (void)flush_buffer();
}

IoResult<size_t> BufferedWriter::write(std::span<const uint8_t> bytes) {
  if (buffer_.size() + bytes.size() > kCapacity) {
    if (auto r = flush_buffer(); !r) return std::unexpected(r.error());
  }
  if (bytes.size() >= kCapacity) return inner_->write(bytes);
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
  return bytes.size();
}

IoResult<void> BufferedWriter::flush_buffer() {
  auto r = inner_->write_all(buffer_);
  buffer_.clear();
  return r;
}

IoResult<void> BufferedWriter::flush() {
  if (auto r = flush_buffer(); !r) return r;
  return inner_->flush();
}

IoResult<void> BufferedWriter::terminate_ref() {
  if (auto r = flush_buffer(); !r) return r;
  return inner_->terminate_ref();
}

std::unique_ptr<TerminatingWrite> BufferedWriter::into_inner() {
  if (!buffer_.empty()) contract_violation("buffer should be empty");
  return std::move(inner_);
}

}  // namespace fendral
