// Byte writers of the engine. Every file is written through a
// TerminatingWrite: write the bytes, then terminate() once, which finishes
// the file (a footer, durability, visibility, depending on the writer).
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "fulltext/error/error.h"

namespace fendral {

class Write {
 public:
  virtual ~Write() = default;
  // Writes some of the bytes; returns how many were taken.
  virtual IoResult<size_t> write(std::span<const uint8_t> bytes) = 0;
  virtual IoResult<void> flush() = 0;
  // Repeats write until every byte is taken; retries Interrupted; a write
  // that takes nothing fails with WriteZero "failed to write whole buffer".
  IoResult<void> write_all(std::span<const uint8_t> bytes);
  IoResult<void> write_all(std::string_view text) {
    return write_all(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  }
};

class TerminatingWrite : public Write {
 public:
  // Finishes the file. Called exactly once, after the last byte.
  virtual IoResult<void> terminate_ref() = 0;
};

// Appends to a byte vector.
class VecWriter final : public TerminatingWrite {
 public:
  explicit VecWriter(std::vector<uint8_t>* out) : out_(out) {}
  IoResult<size_t> write(std::span<const uint8_t> bytes) override {
    out_->insert(out_->end(), bytes.begin(), bytes.end());
    return bytes.size();
  }
  IoResult<void> flush() override { return {}; }
  IoResult<void> terminate_ref() override { return {}; }

 private:
  std::vector<uint8_t>* out_;
};

// An 8192-byte buffer in front of a boxed raw writer.
class BufferedWriter final : public TerminatingWrite {
 public:
  static constexpr size_t kCapacity = 8192;
  explicit BufferedWriter(std::unique_ptr<TerminatingWrite> inner) : inner_(std::move(inner)) {
    buffer_.reserve(kCapacity);
  }
  ~BufferedWriter() override;

  IoResult<size_t> write(std::span<const uint8_t> bytes) override;
  IoResult<void> flush() override;
  IoResult<void> terminate_ref() override;

  bool buffer_is_empty() const { return buffer_.empty(); }
  // Takes the raw writer out; the buffer must be empty.
  std::unique_ptr<TerminatingWrite> into_inner();

 private:
  IoResult<void> flush_buffer();
  std::unique_ptr<TerminatingWrite> inner_;
  std::vector<uint8_t> buffer_;
};

// Counts the bytes written through it.
class CountingWriter final : public Write {
 public:
  explicit CountingWriter(Write* inner) : inner_(inner) {}
  IoResult<size_t> write(std::span<const uint8_t> bytes) override {
    auto n = inner_->write(bytes);
    if (n) written_ += *n;
    return n;
  }
  IoResult<void> flush() override { return inner_->flush(); }
  uint64_t written_bytes() const { return written_; }

 private:
  Write* inner_;
  uint64_t written_ = 0;
};

}  // namespace fendral
