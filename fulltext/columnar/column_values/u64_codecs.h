// The three codecs of u64 column values and the writer that picks one.
//
// Bytes: a codec byte, then the codec's data, every codec starting with the
// ColumnStats:
//   0 Bitpacked        stats; (v - min) / gcd in bits_needed(amplitude) bits
//   1 Linear           stats; Line; width byte w; v - line(row) in w bits
//   2 BlockwiseLinear  stats; residual stream of blocks of 512 rows, each
//                      with its own line over (v - min) / gcd and width;
//                      table of (Line, width byte) per block; u32 table length
// The writer feeds every value to each candidate's estimator and writes the
// smallest estimate (a later candidate only when strictly smaller).
//
// Readers validate everything at open (widths 0..56 or 64, streams long
// enough for every row), so that decoding never fails and never reads
// outside the bytes.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "fulltext/bitpacker/bitpacker.h"
#include "fulltext/columnar/column_values/line.h"
#include "fulltext/columnar/column_values/stats.h"
#include "fulltext/common/owned_bytes.h"
#include "fulltext/error/error.h"

namespace fendral::columnar {

enum class CodecType : uint8_t { Bitpacked = 0, Linear = 1, BlockwiseLinear = 2 };

inline constexpr CodecType kColumnValueCodecs[] = {CodecType::Bitpacked, CodecType::BlockwiseLinear};
inline constexpr CodecType kStartOffsetCodecs[] = {CodecType::Bitpacked, CodecType::Linear};

// u64 values that can be walked any number of times in the same order.
class U64Source {
 public:
  virtual ~U64Source() = default;
  // Hands every value to `sink`, in order, in batches.
  virtual void visit(const std::function<void(std::span<const uint64_t>)>& sink) const = 0;
};

class SpanSource final : public U64Source {
 public:
  explicit SpanSource(std::span<const uint64_t> values) : values_(values) {}
  void visit(const std::function<void(std::span<const uint64_t>)>& sink) const override {
    if (!values_.empty()) sink(values_);
  }

 private:
  std::span<const uint64_t> values_;
};

// Appends the codec byte and codec data of the best candidate. Fails with
// invalid data "No available applicable codec." when no candidate applies.
IoResult<void> serialize_u64_based_column_values(const U64Source& values, std::span<const CodecType> candidates,
                                                 std::vector<uint8_t>& out);

class BitpackedReader {
 public:
  static IoResult<BitpackedReader> open(OwnedBytes data_after_codec_byte);
  uint64_t get(uint32_t row) const { return stats_.min_value + stats_.gcd * unpacker_.get(row, data_.as_bytes()); }
  const ColumnStats& stats() const { return stats_; }
  void get_row_ids_for_value_range(uint64_t lo, uint64_t hi, uint32_t start, uint32_t end,
                                   std::vector<uint32_t>& positions) const;

 private:
  BitpackedReader(OwnedBytes d, ColumnStats s, uint8_t bits) : data_(std::move(d)), stats_(s), unpacker_(bits) {}
  OwnedBytes data_;
  ColumnStats stats_;
  bitpacker::BitUnpacker unpacker_;
};

class LinearReader {
 public:
  static IoResult<LinearReader> open(OwnedBytes data_after_codec_byte);
  uint64_t get(uint32_t row) const { return line_.eval(row) + unpacker_.get(row, data_.as_bytes()); }
  const ColumnStats& stats() const { return stats_; }
  void get_row_ids_for_value_range(uint64_t lo, uint64_t hi, uint32_t start, uint32_t end,
                                   std::vector<uint32_t>& positions) const;
  const Line& line() const { return line_; }

 private:
  LinearReader(OwnedBytes d, ColumnStats s, Line l, uint8_t bits)
      : data_(std::move(d)), stats_(s), line_(l), unpacker_(bits) {}
  OwnedBytes data_;
  ColumnStats stats_;
  Line line_;
  bitpacker::BitUnpacker unpacker_;
};

class BlockwiseLinearReader {
 public:
  static constexpr uint32_t kBlockSize = 512;
  struct Block {
    Line line;
    bitpacker::BitUnpacker unpacker;
    uint64_t data_start_offset;
  };
  static IoResult<BlockwiseLinearReader> open(OwnedBytes data_after_codec_byte);
  uint64_t get(uint32_t row) const {
    size_t b = row / kBlockSize;
    if (b >= blocks_->size()) return stats_.min_value;  // beyond num_rows: a caller's error
    const Block& blk = (*blocks_)[b];
    uint32_t i = row % kBlockSize;
    uint64_t u = blk.line.eval(i) + blk.unpacker.get(i, data_.as_bytes().subspan(blk.data_start_offset));
    return stats_.min_value + stats_.gcd * u;
  }
  const ColumnStats& stats() const { return stats_; }
  void get_row_ids_for_value_range(uint64_t lo, uint64_t hi, uint32_t start, uint32_t end,
                                   std::vector<uint32_t>& positions) const;

 private:
  BlockwiseLinearReader(OwnedBytes d, ColumnStats s, std::shared_ptr<const std::vector<Block>> b)
      : data_(std::move(d)), stats_(s), blocks_(std::move(b)) {}
  OwnedBytes data_;
  ColumnStats stats_;
  std::shared_ptr<const std::vector<Block>> blocks_;
};

// Reads a stored bit width; 57..63 and above 64 are corrupt data.
IoResult<uint8_t> checked_num_bits(uint8_t stored);

}  // namespace fendral::columnar
