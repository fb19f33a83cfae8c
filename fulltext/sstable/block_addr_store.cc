#include "fulltext/sstable/block_addr_store.h"

#include <algorithm>
#include <cstring>

#include "fulltext/bitpacker/bitpacker.h"
#include "fulltext/common/le_bytes.h"

namespace fendral::sstable {

namespace {

IoError corruption() { return IoError(IoErrorKind::InvalidData, "SSTable corruption"); }

struct Point {
  uint64_t x;
  uint64_t y;
};

// The slope of the line through the points of smallest and largest ratio.
uint32_t fit_slope(const std::vector<Point>& pts) {
  if (pts.empty()) return 0;
  size_t lo = 0;
  size_t hi = 0;
  for (size_t i = 0; i < pts.size(); ++i) {
    uint32_t r = static_cast<uint32_t>(pts[i].y / pts[i].x);
    if (r <= static_cast<uint32_t>(pts[lo].y / pts[lo].x)) lo = i;
    if (r >= static_cast<uint32_t>(pts[hi].y / pts[hi].x)) hi = i;
  }
  uint64_t xs = pts[lo].x + pts[hi].x;
  return static_cast<uint32_t>((xs / 2 + pts[lo].y + pts[hi].y) / xs);
}

// 1 + significant bits of the largest deviation from the line.
uint32_t residual_bits(const std::vector<Point>& pts, uint32_t slope) {
  uint64_t max_dev = 0;
  for (const Point& p : pts) {
    int64_t dev = static_cast<int64_t>(p.y - p.x * slope);
    uint64_t a = dev < 0 ? 0 - static_cast<uint64_t>(dev) : static_cast<uint64_t>(dev);
    max_dev = std::max(max_dev, a);
  }
  return 1u + bitpacker::bits_needed(max_dev);
}

uint64_t read_bits(std::span<const uint8_t> data, uint64_t bit, uint8_t width) {
  uint64_t byte = bit / 8;
  uint8_t buf[8] = {0};
  if (byte < data.size()) std::memcpy(buf, data.data() + byte, std::min<uint64_t>(8, data.size() - byte));
  uint64_t word = load_le<uint64_t>(buf) >> (bit % 8);
  return width == 64 ? word : word & ((uint64_t{1} << width) - 1);
}

}  // namespace

IoResult<void> BlockAddrStoreWriter::write_block_addr(BlockAddr addr) {
  pending_.push_back(addr);
  if (pending_.size() == kGroupSize) return flush_block();
  return {};
}

IoResult<void> BlockAddrStoreWriter::flush_block() {
  if (pending_.empty()) return {};
  const BlockAddr a0 = pending_.front();
  const uint64_t n = pending_.size();
  std::vector<Point> starts;
  std::vector<Point> ords;
  for (uint64_t x = 1; x < n; ++x) {
    starts.push_back({x, pending_[x].start - a0.start});
    ords.push_back({x, pending_[x].first_ordinal - a0.first_ordinal});
  }
  starts.push_back({n, pending_.back().end - a0.start});
  uint32_t s = fit_slope(starts);
  uint32_t o = n == 1 ? 0 : fit_slope(ords);
  uint32_t t = residual_bits(starts, s);
  uint32_t w = n == 1 ? 1 : residual_bits(ords, o);
  if (t > 56 || w > 56) return io_fail(IoErrorKind::InvalidInput, "block addresses beyond what the index can store");
  append_le<uint64_t>(metas_, packed_.size());
  append_le<uint64_t>(metas_, a0.start);
  append_le<uint64_t>(metas_, a0.first_ordinal);
  append_le<uint32_t>(metas_, s);
  append_le<uint32_t>(metas_, o);
  metas_.push_back(static_cast<uint8_t>(w));
  metas_.push_back(static_cast<uint8_t>(t));
  append_le<uint16_t>(metas_, static_cast<uint16_t>(n - 1));
  bitpacker::BitPacker packer;
  uint64_t tb = uint64_t{1} << (t - 1);
  uint64_t wb = uint64_t{1} << (w - 1);
  for (uint64_t x = 1; x < n; ++x) {
    packer.write(starts[x - 1].y - x * s + tb, static_cast<uint8_t>(t), packed_);
    packer.write(ords[x - 1].y - x * o + wb, static_cast<uint8_t>(w), packed_);
  }
  packer.write(starts.back().y - n * s + tb, static_cast<uint8_t>(t), packed_);
  packer.close(packed_);
  pending_.clear();
  return {};
}

IoResult<void> BlockAddrStoreWriter::serialize(std::vector<uint8_t>& out) {
  if (auto r = flush_block(); !r) return r;
  append_le<uint64_t>(out, metas_.size());
  out.insert(out.end(), metas_.begin(), metas_.end());
  out.insert(out.end(), packed_.begin(), packed_.end());
  return {};
}

IoResult<BlockAddrStore> BlockAddrStore::open(OwnedBytes bytes) {
  std::span<const uint8_t> in = bytes.as_bytes();
  if (in.size() < 8) return std::unexpected(corruption());
  uint64_t meta_len = load_le<uint64_t>(in.data());
  if (meta_len > in.size() - 8 || meta_len % 36 != 0) return std::unexpected(corruption());
  BlockAddrStore store;
  store.packed_ = bytes.sub_range(8 + meta_len, bytes.len());
  const uint8_t* p = in.data() + 8;
  for (uint64_t i = 0; i < meta_len / 36; ++i, p += 36) {
    Meta m{load_le<uint64_t>(p),      load_le<uint64_t>(p + 8), load_le<uint64_t>(p + 16),
           load_le<uint32_t>(p + 24), load_le<uint32_t>(p + 28), p[32], p[33],
           uint32_t{load_le<uint16_t>(p + 34)} + 1};
    if (m.start_bits == 0 || m.start_bits > 56 || m.ord_bits == 0 || m.ord_bits > 56) {
      return std::unexpected(corruption());
    }
    uint64_t bits = (m.num_blocks - 1) * (uint64_t{m.start_bits} + m.ord_bits) + m.start_bits;
    if (m.offset > store.packed_.len() || (bits + 7) / 8 > store.packed_.len() - m.offset) {
      return std::unexpected(corruption());
    }
    store.metas_.push_back(m);
    store.num_blocks_ += m.num_blocks;
  }
  return store;
}

std::optional<BlockAddr> BlockAddrStore::get(uint64_t block) const {
  uint64_t g = block / BlockAddrStoreWriter::kGroupSize;
  uint64_t x = block % BlockAddrStoreWriter::kGroupSize;
  if (g >= metas_.size()) return std::nullopt;
  const Meta& m = metas_[g];
  if (x >= m.num_blocks) return std::nullopt;
  std::span<const uint8_t> data = packed_.as_bytes().subspan(m.offset);
  const uint64_t tb = uint64_t{1} << (m.start_bits - 1);
  const uint64_t wb = uint64_t{1} << (m.ord_bits - 1);
  const uint64_t stride = uint64_t{m.start_bits} + m.ord_bits;
  BlockAddr addr;
  if (x == 0) {
    addr.start = m.start;
    addr.first_ordinal = m.first_ordinal;
  } else {
    uint64_t bit = (x - 1) * stride;
    addr.start = m.start + x * m.start_slope + read_bits(data, bit, m.start_bits) - tb;
    addr.first_ordinal = m.first_ordinal + x * m.ord_slope + read_bits(data, bit + m.start_bits, m.ord_bits) - wb;
  }
  addr.end = m.start + (x + 1) * m.start_slope + read_bits(data, x * stride, m.start_bits) - tb;
  return addr;
}

}  // namespace fendral::sstable
