// Internal pieces of FieldSerializer: the postings of the current term,
// assembled in memory so the skip data can precede the blocks, and the
// positions writer.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "fulltext/common/io.h"
#include "fulltext/error/error.h"
#include "fulltext/fieldnorm/fieldnorm_reader.h"
#include "fulltext/postings/block_codec.h"
#include "fulltext/postings/postings_format.h"

namespace fendral::postings {

class PostingsSerializer {
 public:
  PostingsSerializer(std::optional<fieldnorm::FieldNormReader> fieldnorms, RecordOption option)
      : fieldnorms_(std::move(fieldnorms)), option_(option) {}

  void new_term(bool wants_freqs);
  void write_doc(uint32_t doc, uint32_t term_freq);
  // Writes skip length, skip data, blocks and tail of the term to `out`.
  IoResult<void> close_term(uint32_t doc_freq, Write& out);

 private:
  void encode_block();
  std::optional<fieldnorm::FieldNormReader> fieldnorms_;
  RecordOption option_;
  bool freqs_recorded_ = false;
  std::array<uint32_t, kBlockLen> docs_{};
  std::array<uint32_t, kBlockLen> freqs_{};
  size_t count_ = 0;
  uint32_t previous_block_last_doc_ = 0;
  std::vector<uint8_t> postings_;
  std::vector<uint8_t> skip_;
  alignas(16) std::array<uint8_t, kMaxBlockBytes> scratch_{};
};

class PositionsWriter {
 public:
  PositionsWriter() { buffer_.reserve(128000); }
  void append_deltas(std::span<const uint32_t> deltas);
  // Writes the term's positions to `out`; returns the number of bytes.
  IoResult<uint64_t> close_term(Write& out);

 private:
  void flush_block();
  std::array<uint32_t, kBlockLen> block_{};
  size_t count_ = 0;
  std::vector<uint8_t> widths_;
  std::vector<uint8_t> buffer_;
  alignas(16) std::array<uint8_t, kMaxBlockBytes> scratch_{};
};

}  // namespace fendral::postings
