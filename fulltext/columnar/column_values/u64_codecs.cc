#include "fulltext/columnar/column_values/u64_codecs.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "fulltext/common/le_bytes.h"
#include <optional>

#include "fulltext/common/vint.h"

namespace fendral::columnar {

namespace {

using bitpacker::bits_needed;

constexpr uint64_t kMidPoint = (uint64_t{1} << 63) - 1;

uint64_t packed_bytes(uint64_t rows, uint64_t bits) { return (rows * bits + 7) / 8; }

IoError invalid(const char* msg) { return IoError(IoErrorKind::InvalidData, msg); }

class Estimator {
 public:
  virtual ~Estimator() = default;
  virtual void collect(uint64_t v) = 0;
  virtual void finalize() {}
  virtual std::optional<uint64_t> estimate(const ColumnStats& stats) const = 0;
  virtual void serialize(const ColumnStats& stats, const U64Source& values, std::vector<uint8_t>& out) const = 0;
};

class BitpackedEstimator final : public Estimator {
 public:
  void collect(uint64_t) override {}
  std::optional<uint64_t> estimate(const ColumnStats& s) const override {
    return s.num_bytes() + packed_bytes(s.num_rows, bits_needed(s.amplitude()));
  }
  void serialize(const ColumnStats& s, const U64Source& values, std::vector<uint8_t>& out) const override {
    s.serialize(out);
    const uint8_t bits = bits_needed(s.amplitude());
    const DividerU64 div(s.gcd);
    bitpacker::BitPacker packer;
    values.visit([&](std::span<const uint64_t> batch) {
      for (uint64_t v : batch) packer.write(div.divide(v - s.min_value), bits, out);
    });
    packer.close(out);
  }
};

class LinearEstimator final : public Estimator {
 public:
  LinearEstimator() { buffer_.reserve(512); }
  void collect(uint64_t v) override {
    if (!line_) {
      buffer_.push_back(v);
      if (buffer_.size() == 512) {
        line_ = Line::train(buffer_);
        std::vector<uint64_t> first = std::move(buffer_);
        buffer_ = {};
        for (uint64_t x : first) observe(x);
      }
      return;
    }
    observe(v);
  }
  void finalize() override {
    if (line_) line_->intercept = line_->intercept + min_dev_ - kMidPoint;
  }
  std::optional<uint64_t> estimate(const ColumnStats& s) const override {
    if (!line_) return std::nullopt;
    return s.num_bytes() + line_->num_bytes() + 1 + packed_bytes(s.num_rows, bits_needed(max_dev_ - min_dev_));
  }
  void serialize(const ColumnStats& s, const U64Source& values, std::vector<uint8_t>& out) const override {
    s.serialize(out);
    line_->serialize(out);
    const uint8_t bits = bits_needed(max_dev_ - min_dev_);
    out.push_back(bits);
    bitpacker::BitPacker packer;
    uint32_t x = 0;
    values.visit([&](std::span<const uint64_t> batch) {
      for (uint64_t v : batch) packer.write(v - line_->eval(x++), bits, out);
    });
    packer.close(out);
  }

 private:
  void observe(uint64_t v) {
    uint64_t dev = v + kMidPoint - line_->eval(count_);
    min_dev_ = std::min(min_dev_, dev);
    max_dev_ = std::max(max_dev_, dev);
    ++count_;
  }
  std::optional<Line> line_;
  std::vector<uint64_t> buffer_;
  uint64_t min_dev_ = UINT64_MAX;
  uint64_t max_dev_ = 0;
  uint32_t count_ = 0;
};

class BlockwiseLinearEstimator final : public Estimator {
 public:
  BlockwiseLinearEstimator() { buffer_.reserve(512); }
  void collect(uint64_t v) override {
    buffer_.push_back(v);
    if (buffer_.size() == 512) account();
  }
  void finalize() override {
    if (!buffer_.empty()) account();
  }
  std::optional<uint64_t> estimate(const ColumnStats& s) const override {
    uint64_t size = s.num_bytes() + meta_num_bytes_ + values_num_bytes_ + 4;
    if (s.gcd > 1) {
      float saved = std::floor(std::log2(static_cast<float>(s.gcd))) * static_cast<float>(s.num_rows) * 0.125f;
      uint64_t sv;
      if (!(saved > 0.0f)) {
        sv = 0;
      } else if (saved >= 18446744073709551616.0f) {
        sv = UINT64_MAX;
      } else {
        sv = static_cast<uint64_t>(saved);
      }
      size = sv > size ? 0 : size - sv;
    }
    return size;
  }
  void serialize(const ColumnStats& s, const U64Source& values, std::vector<uint8_t>& out) const override {
    s.serialize(out);
    const DividerU64 div(s.gcd);
    std::vector<uint8_t> table;
    std::vector<uint64_t> block;
    block.reserve(512);
    bitpacker::BitPacker packer;
    auto flush = [&] {
      for (uint64_t& v : block) v = div.divide(v - s.min_value);
      Line line = Line::train(block);
      uint8_t bits = 0;
      for (uint32_t i = 0; i < block.size(); ++i) {
        block[i] -= line.eval(i);
        bits = std::max(bits, bits_needed(block[i]));
      }
      for (uint64_t r : block) packer.write(r, bits, out);
      line.serialize(table);
      table.push_back(bits);
      block.clear();
    };
    values.visit([&](std::span<const uint64_t> batch) {
      for (uint64_t v : batch) {
        block.push_back(v);
        if (block.size() == 512) flush();
      }
    });
    if (!block.empty()) flush();
    packer.close(out);
    out.insert(out.end(), table.begin(), table.end());
    append_le<uint32_t>(out, static_cast<uint32_t>(table.size()));
  }

 private:
  void account() {
    Line line = Line::train(buffer_);
    uint64_t m = 0;
    for (uint32_t i = 0; i < buffer_.size(); ++i) m = std::max(m, buffer_[i] - line.eval(i));
    values_num_bytes_ += packed_bytes(buffer_.size(), bits_needed(m));
    meta_num_bytes_ += line.num_bytes() + 1;
    buffer_.clear();
  }
  std::vector<uint64_t> buffer_;
  uint64_t values_num_bytes_ = 0;
  uint64_t meta_num_bytes_ = 0;
};

std::unique_ptr<Estimator> make_estimator(CodecType t) {
  switch (t) {
    case CodecType::Bitpacked:
      return std::make_unique<BitpackedEstimator>();
    case CodecType::Linear:
      return std::make_unique<LinearEstimator>();
    case CodecType::BlockwiseLinear:
      return std::make_unique<BlockwiseLinearEstimator>();
  }
  return nullptr;
}

// Linear scan shared by the two line codecs.
template <class Reader>
void scan_rows(const Reader& r, uint64_t lo, uint64_t hi, uint32_t start, uint32_t end,
               std::vector<uint32_t>& positions) {
  positions.clear();
  end = std::min(end, r.stats().num_rows);
  for (uint32_t row = start; row < end; ++row) {
    uint64_t v = r.get(row);
    if (v >= lo && v <= hi) positions.push_back(row);
  }
}

}  // namespace

IoResult<uint8_t> checked_num_bits(uint8_t stored) {
  if ((stored > 56 && stored != 64)) return io_fail(IoErrorKind::InvalidData, "Invalid bit width in column values");
  return stored;
}

IoResult<void> serialize_u64_based_column_values(const U64Source& values, std::span<const CodecType> candidates,
                                                 std::vector<uint8_t>& out) {
  StatsCollector collector;
  std::vector<std::unique_ptr<Estimator>> estimators;
  for (CodecType t : candidates) estimators.push_back(make_estimator(t));
  values.visit([&](std::span<const uint64_t> batch) {
    for (uint64_t v : batch) {
      collector.collect(v);
      for (auto& e : estimators) e->collect(v);
    }
  });
  for (auto& e : estimators) e->finalize();
  const ColumnStats stats = collector.stats();
  std::optional<size_t> best;
  uint64_t best_size = 0;
  for (size_t i = 0; i < estimators.size(); ++i) {
    auto size = estimators[i]->estimate(stats);
    if (size && (!best || *size < best_size)) {
      best = i;
      best_size = *size;
    }
  }
  if (!best) return std::unexpected(invalid("No available applicable codec."));
  out.push_back(static_cast<uint8_t>(candidates[*best]));
  estimators[*best]->serialize(stats, values, out);
  return {};
}

IoResult<BitpackedReader> BitpackedReader::open(OwnedBytes data) {
  std::span<const uint8_t> in = data.as_bytes();
  auto stats = ColumnStats::deserialize(in);
  if (!stats) return std::unexpected(stats.error());
  uint8_t bits = bits_needed(stats->amplitude());
  OwnedBytes rest = data.sub_range(data.len() - in.size(), data.len());
  if (rest.len() < packed_bytes(stats->num_rows, bits)) {
    return io_fail(IoErrorKind::InvalidData, "Column values shorter than their rows");
  }
  return BitpackedReader(std::move(rest), *stats, bits);
}

void BitpackedReader::get_row_ids_for_value_range(uint64_t lo, uint64_t hi, uint32_t start, uint32_t end,
                                                  std::vector<uint32_t>& positions) const {
  positions.clear();
  end = std::min(end, stats_.num_rows);
  if (lo > hi || hi < stats_.min_value || lo > stats_.max_value || start >= end) return;
  uint64_t a = lo >= stats_.min_value ? lo - stats_.min_value : 0;
  uint64_t b = hi - stats_.min_value;
  uint64_t packed_lo = a / stats_.gcd + (a % stats_.gcd != 0 ? 1 : 0);
  uint64_t packed_hi = b / stats_.gcd;
  if (packed_lo > packed_hi) return;
  // The stream was checked to hold every row at open.
  (void)unpacker_.get_ids_for_value_range(packed_lo, packed_hi, start, end, data_.as_bytes(), positions);
}

IoResult<LinearReader> LinearReader::open(OwnedBytes data) {
  std::span<const uint8_t> in = data.as_bytes();
  auto stats = ColumnStats::deserialize(in);
  if (!stats) return std::unexpected(stats.error());
  auto line = Line::deserialize(in);
  if (!line) return std::unexpected(line.error());
  if (in.empty()) return io_fail(IoErrorKind::UnexpectedEof, "failed to fill whole buffer");
  auto bits = checked_num_bits(in[0]);
  if (!bits) return std::unexpected(bits.error());
  in = in.subspan(1);
  OwnedBytes rest = data.sub_range(data.len() - in.size(), data.len());
  if (rest.len() < packed_bytes(stats->num_rows, *bits)) {
    return io_fail(IoErrorKind::InvalidData, "Column values shorter than their rows");
  }
  return LinearReader(std::move(rest), *stats, *line, *bits);
}

void LinearReader::get_row_ids_for_value_range(uint64_t lo, uint64_t hi, uint32_t start, uint32_t end,
                                               std::vector<uint32_t>& positions) const {
  scan_rows(*this, lo, hi, start, end, positions);
}

IoResult<BlockwiseLinearReader> BlockwiseLinearReader::open(OwnedBytes data) {
  std::span<const uint8_t> in = data.as_bytes();
  auto stats = ColumnStats::deserialize(in);
  if (!stats) return std::unexpected(stats.error());
  if (in.size() < 4) return io_fail(IoErrorKind::InvalidData, "Blockwise linear values without their table");
  uint32_t table_len;
  std::memcpy(&table_len, in.data() + in.size() - 4, 4);
  if (table_len > in.size() - 4) return io_fail(IoErrorKind::InvalidData, "Blockwise linear table beyond its bytes");
  const size_t stream_len = in.size() - 4 - table_len;
  std::span<const uint8_t> table = in.subspan(stream_len, table_len);
  const uint64_t num_blocks = (uint64_t{stats->num_rows} + kBlockSize - 1) / kBlockSize;
  if (num_blocks > table.size() / 3) return io_fail(IoErrorKind::InvalidData, "Blockwise linear table too short");
  auto blocks = std::make_shared<std::vector<Block>>();
  blocks->reserve(num_blocks);
  uint64_t offset = 0;
  for (uint64_t b = 0; b < num_blocks; ++b) {
    auto line = Line::deserialize(table);
    if (!line) return std::unexpected(line.error());
    if (table.empty()) return io_fail(IoErrorKind::UnexpectedEof, "failed to fill whole buffer");
    auto bits = checked_num_bits(table[0]);
    if (!bits) return std::unexpected(bits.error());
    table = table.subspan(1);
    uint64_t rows = std::min<uint64_t>(kBlockSize, stats->num_rows - b * kBlockSize);
    if (offset + packed_bytes(rows, *bits) > stream_len) {
      return io_fail(IoErrorKind::InvalidData, "Column values shorter than their rows");
    }
    blocks->push_back(Block{*line, bitpacker::BitUnpacker(*bits), offset});
    offset += 64 * uint64_t{*bits};
  }
  size_t start = data.len() - in.size();
  return BlockwiseLinearReader(data.sub_range(start, start + stream_len), *stats, std::move(blocks));
}

void BlockwiseLinearReader::get_row_ids_for_value_range(uint64_t lo, uint64_t hi, uint32_t start, uint32_t end,
                                                        std::vector<uint32_t>& positions) const {
  scan_rows(*this, lo, hi, start, end, positions);
}

}  // namespace fendral::columnar
