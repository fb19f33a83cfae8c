#include "fulltext/columnar/column_index/optional_index.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "fulltext/common/le_bytes.h"
#include "fulltext/common/vint.h"

namespace fendral::columnar {

namespace {

IoError corrupt(const char* what) { return IoError(IoErrorKind::InvalidData, what); }

}  // namespace

IoResult<OptionalIndex> OptionalIndex::open(OwnedBytes bytes) {
  if (bytes.len() < 2) return std::unexpected(corrupt("Optional index shorter than its block count"));
  const uint16_t n = load_le<uint16_t>(bytes.data() + bytes.len() - 2);
  std::span<const uint8_t> in = bytes.as_bytes().first(bytes.len() - 2);
  auto num_rows = vint::read_u64(in);
  if (!num_rows) return std::unexpected(num_rows.error());
  if (*num_rows > UINT32_MAX) return std::unexpected(corrupt("Optional index row count beyond 32 bits"));
  if (in.size() < 4 * size_t{n}) return std::unexpected(corrupt("Optional index block entries beyond its bytes"));
  const size_t data_start = bytes.len() - 2 - in.size();
  const size_t data_len = in.size() - 4 * size_t{n};
  const uint8_t* entries = in.data() + data_len;
  const uint64_t num_blocks = (*num_rows + kBlockRows - 1) / kBlockRows;
  auto blocks = std::make_shared<std::vector<BlockInfo>>();
  blocks->reserve(num_blocks);
  uint64_t rows = 0;
  uint64_t offset = 0;
  for (size_t i = 0; i < n; ++i) {
    uint32_t e = load_le<uint32_t>(entries + 4 * i);
    uint32_t id = e & 0xFFFF;
    uint32_t count = (e >> 16) + 1;
    if (id < blocks->size() || id >= num_blocks) return std::unexpected(corrupt("Optional index block out of order"));
    while (blocks->size() < id) blocks->push_back(BlockInfo{false, 0, static_cast<uint32_t>(rows), static_cast<uint32_t>(offset)});
    bool dense = count >= kDenseThreshold;
    uint64_t size = dense ? kDenseBlockBytes : 2 * uint64_t{count};
    if (offset + size > data_len) return std::unexpected(corrupt("Optional index block data beyond its bytes"));
    blocks->push_back(BlockInfo{dense, count, static_cast<uint32_t>(rows), static_cast<uint32_t>(offset)});
    rows += count;
    offset += size;
  }
  if (rows > UINT32_MAX) return std::unexpected(corrupt("Optional index row count beyond 32 bits"));
  while (blocks->size() < num_blocks) blocks->push_back(BlockInfo{false, 0, static_cast<uint32_t>(rows), static_cast<uint32_t>(offset)});
  OptionalIndex idx;
  idx.data_ = bytes.sub_range(data_start, data_start + data_len);
  idx.blocks_ = std::move(blocks);
  idx.num_rows_ = static_cast<uint32_t>(*num_rows);
  idx.num_non_null_rows_ = static_cast<uint32_t>(rows);
  return idx;
}

uint32_t OptionalIndex::rank(uint32_t doc) const {
  if (doc >= num_rows_) return num_non_null_rows_;
  const BlockInfo& b = (*blocks_)[doc / kBlockRows];
  const uint32_t p = doc % kBlockRows;
  const uint8_t* d = block_data(b);
  if (!b.dense) {
    uint32_t lo = 0;
    uint32_t hi = b.count;
    while (lo < hi) {
      uint32_t mid = (lo + hi) / 2;
      if (load_le<uint16_t>(d + 2 * mid) < p) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    return b.rows_before + lo;
  }
  const uint8_t* g = d + 10 * (p / 64);
  uint64_t bits = load_le<uint64_t>(g);
  uint64_t below = bits & ((uint64_t{1} << (p % 64)) - 1);
  return b.rows_before + load_le<uint16_t>(g + 8) + static_cast<uint32_t>(std::popcount(below));
}

std::optional<uint32_t> OptionalIndex::rank_if_exists(uint32_t doc) const {
  if (doc / kBlockRows >= blocks_->size() || doc >= num_rows_) return std::nullopt;
  const BlockInfo& b = (*blocks_)[doc / kBlockRows];
  const uint32_t p = doc % kBlockRows;
  const uint8_t* d = block_data(b);
  if (!b.dense) {
    uint32_t r = rank(doc);
    uint32_t k = r - b.rows_before;
    if (k < b.count && load_le<uint16_t>(d + 2 * k) == p) return r;
    return std::nullopt;
  }
  const uint8_t* g = d + 10 * (p / 64);
  if (!((load_le<uint64_t>(g) >> (p % 64)) & 1)) return std::nullopt;
  return rank(doc);
}

uint32_t OptionalIndex::SelectCursor::select(uint32_t row) {
  const auto& blocks = *index_->blocks_;
  if (blocks.empty()) return 0;
  if (row >= next_block_rank_) {
    size_t b = block_;
    while (b + 1 < blocks.size() && blocks[b + 1].rows_before <= row) ++b;
    block_ = b;
    next_block_rank_ = b + 1 < blocks.size() ? blocks[b + 1].rows_before : UINT32_MAX;
    if (next_block_rank_ <= row) next_block_rank_ = uint64_t{UINT32_MAX} + 1;  // the last rows
    group_ = 0;
  }
  const BlockInfo& blk = blocks[block_];
  const uint32_t base = static_cast<uint32_t>(block_) * kBlockRows;
  const uint32_t k = row - blk.rows_before;
  const uint8_t* d = index_->block_data(blk);
  if (!blk.dense) {
    if (k >= blk.count) return base;  // beyond the index: a caller's error
    return base + load_le<uint16_t>(d + 2 * k);
  }
  while (group_ + 1 < 1024 && load_le<uint16_t>(d + 10 * (group_ + 1) + 8) <= k) ++group_;
  const uint8_t* g = d + 10 * group_;
  uint64_t bits = load_le<uint64_t>(g);
  for (uint32_t skip = k - load_le<uint16_t>(g + 8); skip > 0 && bits; --skip) bits &= bits - 1;
  return base + 64 * group_ + (bits ? static_cast<uint32_t>(std::countr_zero(bits)) : 0);
}

void OptionalIndex::serialize(uint32_t num_rows,
                              const std::function<void(const std::function<void(uint32_t)>&)>& docs,
                              std::vector<uint8_t>& out) {
  vint::append(out, num_rows);
  std::vector<uint32_t> entries;
  std::vector<uint16_t> positions;
  uint32_t current = UINT32_MAX;
  auto flush = [&] {
    if (positions.empty()) return;
    if (positions.size() >= kDenseThreshold) {
      uint64_t groups[1024] = {0};
      for (uint16_t p : positions) groups[p / 64] |= uint64_t{1} << (p % 64);
      uint32_t before = 0;
      for (uint64_t g : groups) {
        append_le<uint64_t>(out, g);
        append_le<uint16_t>(out, static_cast<uint16_t>(before));
        before += static_cast<uint32_t>(std::popcount(g));
      }
    } else {
      for (uint16_t p : positions) append_le<uint16_t>(out, p);
    }
    entries.push_back(((static_cast<uint32_t>(positions.size()) - 1) << 16) | current);
    positions.clear();
  };
  docs([&](uint32_t doc) {
    uint32_t block = doc / kBlockRows;
    if (block != current) {
      flush();
      current = block;
    }
    positions.push_back(static_cast<uint16_t>(doc % kBlockRows));
  });
  flush();
  for (uint32_t e : entries) append_le<uint32_t>(out, e);
  append_le<uint16_t>(out, static_cast<uint16_t>(entries.size()));
}

}  // namespace fendral::columnar
