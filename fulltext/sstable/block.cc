#include "fulltext/sstable/block.h"

#include <zstd.h>

#include <cstring>
#include <memory>
#include <string>

#include "fulltext/common/le_bytes.h"
#include "fulltext/sstable/vint.h"

namespace fendral::sstable {

namespace {

IoError corruption() { return IoError(IoErrorKind::InvalidData, "SSTable corruption"); }

struct CCtxFree {
  void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct DCtxFree {
  void operator()(ZSTD_DCtx* c) const { ZSTD_freeDCtx(c); }
};

}  // namespace

IoResult<void> frame_block(std::span<const uint8_t> content, std::vector<uint8_t>& out) {
  if (content.empty()) return {};
  if (content.size() > kCompressThreshold && content.size() <= kMaxBlockContent) {
    std::unique_ptr<ZSTD_CCtx, CCtxFree> ctx(ZSTD_createCCtx());
    if (!ctx) return io_fail(IoErrorKind::Other, "zstd returned null pointer when creating new context");
    std::vector<uint8_t> compressed(ZSTD_compressBound(content.size()));
    size_t n = ZSTD_compressCCtx(ctx.get(), compressed.data(), compressed.size(), content.data(), content.size(), 3);
    if (ZSTD_isError(n)) return io_fail(IoErrorKind::Other, ZSTD_getErrorName(n));
    if (n < content.size()) {
      append_le<uint32_t>(out, static_cast<uint32_t>(n + 1));
      out.push_back(1);
      out.insert(out.end(), compressed.begin(), compressed.begin() + static_cast<ptrdiff_t>(n));
      return {};
    }
  }
  append_le<uint32_t>(out, static_cast<uint32_t>(content.size() + 1));
  out.push_back(0);
  out.insert(out.end(), content.begin(), content.end());
  return {};
}

void encode_key(std::span<const uint8_t> prev, std::span<const uint8_t> key, std::vector<uint8_t>& out) {
  size_t keep = 0;
  while (keep < prev.size() && keep < key.size() && prev[keep] == key[keep]) ++keep;
  size_t add = key.size() - keep;
  if (keep < 16 && add < 16) {
    out.push_back(static_cast<uint8_t>(keep + 16 * add));
  } else {
    out.push_back(0x01);
    vint::serialize_into_vec(keep, out);
    vint::serialize_into_vec(add, out);
  }
  out.insert(out.end(), key.begin() + static_cast<ptrdiff_t>(keep), key.end());
}

IoResult<bool> BlockReader::read_block() {
  content_ = {};
  if (data_.empty()) return false;
  if (data_.size() < 4) return io_fail(IoErrorKind::UnexpectedEof, "failed to read block_len");
  uint32_t word;
  std::memcpy(&word, data_.data(), 4);
  data_ = data_.subspan(4);
  if (word < 2) {
    data_ = {};
    return false;
  }
  if (data_.empty() || data_.size() - 1 < word - 1) {
    return io_fail(IoErrorKind::UnexpectedEof, "failed to read block content");
  }
  uint8_t flag = data_[0];
  std::span<const uint8_t> body = data_.subspan(1, word - 1);
  data_ = data_.subspan(word);
  if (flag != 1) {
    content_ = body;
    return true;
  }
  unsigned long long declared = ZSTD_getFrameContentSize(body.data(), body.size());
  if (declared == ZSTD_CONTENTSIZE_ERROR) return io_fail(IoErrorKind::InvalidData, "zstd: not a zstd frame");
  size_t capacity = kMaxBlockContent;
  if (declared != ZSTD_CONTENTSIZE_UNKNOWN) {
    if (declared > kMaxBlockContent) {
      return io_fail(IoErrorKind::InvalidData, "zstd block declares " + std::to_string(declared) +
                                                   " bytes, more than a block holds");
    }
    capacity = static_cast<size_t>(declared);
  }
  std::unique_ptr<ZSTD_DCtx, DCtxFree> ctx(ZSTD_createDCtx());
  if (!ctx) return io_fail(IoErrorKind::Other, "zstd returned null pointer when creating new context");
  decompressed_.resize(capacity);
  size_t n = ZSTD_decompressDCtx(ctx.get(), decompressed_.data(), capacity, body.data(), body.size());
  if (ZSTD_isError(n)) return io_fail(IoErrorKind::Other, ZSTD_getErrorName(n));
  decompressed_.resize(n);
  content_ = decompressed_;
  return true;
}

IoResult<void> BlockCursor::reset(std::span<const uint8_t> content, ValueKind kind) {
  kind_ = kind;
  boundaries_.clear();
  addrs_.clear();
  key_.clear();
  index_ = 0;
  std::span<const uint8_t> in = content;
  if (kind == ValueKind::Ranges) {
    auto b = vint::deserialize(in);
    if (!b) return std::unexpected(b.error());
    if (*b > in.size()) return std::unexpected(corruption());
    uint64_t acc = 0;
    for (uint64_t i = 0; i < *b; ++i) {
      auto d = vint::deserialize(in);
      if (!d) return std::unexpected(d.error());
      acc = i == 0 ? *d : acc + *d;
      boundaries_.push_back(acc);
    }
  } else if (kind == ValueKind::BlockAddrs) {
    auto n = vint::deserialize(in);
    if (!n) return std::unexpected(n.error());
    auto start = vint::deserialize(in);
    if (!start) return std::unexpected(start.error());
    if (*n > in.size()) return std::unexpected(corruption());
    uint64_t pos = *start;
    uint64_t ord = 0;
    for (uint64_t i = 0; i < *n; ++i) {
      auto len = vint::deserialize(in);
      if (!len) return std::unexpected(len.error());
      auto delta = vint::deserialize(in);
      if (!delta) return std::unexpected(delta.error());
      ord += *delta;
      addrs_.push_back(BlockAddr{pos, pos + *len, ord});
      pos += *len;
    }
  }
  keys_ = in;
  return {};
}

IoResult<bool> BlockCursor::next() {
  if (keys_.empty()) return false;
  uint64_t keep;
  uint64_t add;
  uint8_t h = keys_[0];
  keys_ = keys_.subspan(1);
  if (h == 0x01) {
    auto k = vint::deserialize(keys_);
    if (!k) return std::unexpected(k.error());
    auto a = vint::deserialize(keys_);
    if (!a) return std::unexpected(a.error());
    keep = *k;
    add = *a;
  } else {
    keep = h & 15;
    add = h >> 4;
  }
  if (keep > key_.size() || add > keys_.size()) return std::unexpected(corruption());
  key_.resize(keep);
  key_.insert(key_.end(), keys_.begin(), keys_.begin() + static_cast<ptrdiff_t>(add));
  keys_ = keys_.subspan(add);
  size_t values = kind_ == ValueKind::Ranges ? (boundaries_.empty() ? 0 : boundaries_.size() - 1)
                                             : addrs_.size();
  if (kind_ != ValueKind::KeysOnly && index_ >= values) return std::unexpected(corruption());
  ++index_;
  return true;
}

Range BlockCursor::range_value() const {
  size_t i = index_ - 1;
  return Range{boundaries_[i], boundaries_[i + 1]};
}

BlockAddr BlockCursor::addr_value() const { return addrs_[index_ - 1]; }

}  // namespace fendral::sstable
