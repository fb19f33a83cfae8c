#include "fulltext/positions/positions_reader.h"

#include <string>

#include "fulltext/common/vint.h"

namespace fendral::positions {

namespace {
FendralError corrupt(std::string what) { return FendralError::data_corruption(std::nullopt, "positions: " + what); }
}  // namespace

Result<PositionsReader> PositionsReader::open(OwnedBytes bytes) {
  std::span<const uint8_t> in = bytes.as_bytes();
  auto m = vint::read_u64(in);
  if (!m) return fail(m.error());
  uint64_t header = bytes.len() - in.size();
  if (*m > in.size()) return fail(corrupt("block widths past the term's positions"));
  PositionsReader r;
  r.widths_all_ = bytes.sub_range(header, header + *m);
  r.positions_all_ = bytes.sub_range(header + *m, bytes.len());
  r.num_blocks_ = *m;
  r.block_starts_.reserve(*m + 1);
  uint64_t at = 0;
  for (uint64_t i = 0; i < *m; ++i) {
    uint8_t w = r.widths_all_.data()[i];
    if (w > 32) return fail(corrupt("block width above 32"));
    r.block_starts_.push_back(at);
    at += 16 * uint64_t{w};
  }
  if (at > r.positions_all_.len()) return fail(corrupt("blocks past the term's positions"));
  r.block_starts_.push_back(at);  // the tail
  return r;
}

Result<void> PositionsReader::load_block(uint64_t r) {
  if (r > num_blocks_) return fail(corrupt("read past the term's positions"));
  const uint8_t* base = positions_all_.data();
  if (r < num_blocks_) {
    postings::unpack_block(base + block_starts_[r], widths_all_.data()[r], block_.data());
    block_count_ = postings::kBlockLen;
  } else {
    std::span<const uint8_t> in = positions_all_.as_bytes().subspan(block_starts_[r]);
    size_t n = 0;
    while (!in.empty() && n < postings::kBlockLen) {
      auto v = vint::read_u32(in);
      if (!v) return fail(corrupt("tail: " + v.error().display()));
      block_[n++] = *v;
    }
    block_count_ = n;
  }
  loaded_ = r;
  return {};
}

Result<void> PositionsReader::read(uint64_t offset, std::span<uint32_t> out) {
  size_t done = 0;
  while (done < out.size()) {
    uint64_t idx = offset + done;
    uint64_t r = idx / postings::kBlockLen;
    if (r != loaded_) {
      auto l = load_block(r);
      if (!l) return l;
    }
    size_t in_block = idx % postings::kBlockLen;
    if (in_block >= block_count_) return fail(corrupt("read past the term's positions"));
    size_t n = std::min(out.size() - done, block_count_ - in_block);
    std::copy_n(block_.begin() + in_block, n, out.begin() + done);
    done += n;
  }
  return {};
}

}  // namespace fendral::positions
