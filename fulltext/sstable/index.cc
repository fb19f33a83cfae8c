#include "fulltext/sstable/index.h"

#include <algorithm>
#include <cstring>

#include "fulltext/common/le_bytes.h"
#include "fulltext/fst/builder.h"
#include "fulltext/fst/stream.h"

namespace fendral::sstable {

namespace {

IoError corruption() { return IoError(IoErrorKind::InvalidData, "SSTable corruption"); }

}  // namespace

void trim_separator(std::vector<uint8_t>& key, std::span<const uint8_t> next) {
  size_t i = 0;
  while (i < key.size() && i < next.size() && key[i] == next[i]) ++i;
  if (i == key.size()) return;
  for (size_t j = i + 1; j < key.size(); ++j) {
    if (key[j] != 0xFF) {
      key[j] += 1;
      key.resize(j + 1);
      return;
    }
  }
}

void SSTableIndexBuilder::add_block(std::span<const uint8_t> last_key, Range range, uint64_t first_ordinal) {
  entries_.push_back(Entry{{last_key.begin(), last_key.end()}, BlockAddr{range.start, range.end, first_ordinal}});
}

void SSTableIndexBuilder::trim_last_block_key(std::span<const uint8_t> next_key) {
  if (!entries_.empty()) trim_separator(entries_.back().key, next_key);
}

IoResult<void> SSTableIndexBuilder::serialize(std::vector<uint8_t>& out) const {
  if (entries_.size() < 2) {
    append_le<uint64_t>(out, 0);
    return {};
  }
  std::vector<std::pair<std::vector<uint8_t>, uint64_t>> pairs;
  pairs.reserve(entries_.size());
  for (size_t i = 0; i < entries_.size(); ++i) pairs.emplace_back(entries_[i].key, i);
  auto fst_bytes = fst::build_in_memory(pairs);
  if (!fst_bytes) return io_fail(IoErrorKind::InvalidInput, fst_bytes.error().display());
  out.insert(out.end(), fst_bytes->begin(), fst_bytes->end());
  BlockAddrStoreWriter store;
  for (const Entry& e : entries_) {
    if (auto r = store.write_block_addr(e.addr); !r) return r;
  }
  if (auto r = store.serialize(out); !r) return r;
  append_le<uint64_t>(out, fst_bytes->size());
  return {};
}

IoResult<SSTableIndex> SSTableIndex::open(OwnedBytes bytes, uint32_t version, uint64_t index_offset) {
  SSTableIndex index;
  index.index_offset_ = index_offset;
  if (version == 2) {
    index.form_ = Form::V2;
    BlockReader reader(bytes.as_bytes());
    BlockCursor cursor;
    while (true) {
      auto more = reader.read_block();
      if (!more) return std::unexpected(corruption());
      if (!*more) break;
      if (!cursor.reset(reader.content(), ValueKind::BlockAddrs)) return std::unexpected(corruption());
      while (true) {
        auto next = cursor.next();
        if (!next) return std::unexpected(corruption());
        if (!*next) break;
        index.v2_.push_back({{cursor.key().begin(), cursor.key().end()}, cursor.addr_value()});
      }
    }
    return index;
  }
  // version 3
  if (bytes.len() < 8) return std::unexpected(corruption());
  uint64_t fst_len;
  std::memcpy(&fst_len, bytes.data() + bytes.len() - 8, 8);
  if (fst_len == 0) return index;  // one block
  uint64_t body = bytes.len() - 8;
  if (fst_len > body) return std::unexpected(corruption());
  auto f = fst::Fst::open(bytes.sub_range(0, fst_len));
  if (!f) return std::unexpected(corruption());
  auto store = BlockAddrStore::open(bytes.sub_range(fst_len, body));
  if (!store) return std::unexpected(store.error());
  index.form_ = Form::V3;
  index.fst_ = std::make_shared<const fst::Fst>(std::move(*f));
  index.store_ = std::move(*store);
  return index;
}

uint64_t SSTableIndex::num_blocks() const {
  switch (form_) {
    case Form::One:
      return 1;
    case Form::V2:
      return v2_.size();
    case Form::V3:
      return store_.num_blocks();
  }
  return 0;
}

IoResult<BlockAddr> SSTableIndex::checked(std::optional<BlockAddr> addr) const {
  if (!addr || addr->start > addr->end || addr->end > index_offset_) return std::unexpected(corruption());
  return *addr;
}

IoResult<BlockAddr> SSTableIndex::block(uint64_t b) const {
  switch (form_) {
    case Form::One:
      return BlockAddr{0, index_offset_, 0};
    case Form::V2:
      return checked(b < v2_.size() ? std::optional<BlockAddr>(v2_[b].addr) : std::nullopt);
    case Form::V3:
      return checked(store_.get(b));
  }
  return std::unexpected(corruption());
}

IoResult<std::optional<BlockAddr>> SSTableIndex::get_block_with_key(std::span<const uint8_t> key) const {
  uint64_t b = 0;
  if (form_ == Form::V2) {
    auto it = std::lower_bound(v2_.begin(), v2_.end(), key, [](const SSTableIndexBuilder::Entry& e, auto k) {
      return std::lexicographical_compare(e.key.begin(), e.key.end(), k.begin(), k.end());
    });
    if (it == v2_.end()) return std::optional<BlockAddr>();
    b = static_cast<uint64_t>(it - v2_.begin());
  } else if (form_ == Form::V3) {
    auto stream = fst::StreamBuilder<>(fst_.get()).ge(key).into_stream();
    if (!stream) return std::unexpected(corruption());
    auto item = (*stream)->next();
    if (!item) return std::unexpected(corruption());
    if (!*item) return std::optional<BlockAddr>();
    b = (*item)->second;
  }
  auto addr = block(b);
  if (!addr) return std::unexpected(addr.error());
  return std::optional<BlockAddr>(*addr);
}

IoResult<BlockAddr> SSTableIndex::get_block_with_ord(uint64_t ord) const {
  uint64_t lo = 0;
  uint64_t hi = num_blocks();  // answer in [lo, hi)
  while (hi - lo > 1) {
    uint64_t mid = lo + (hi - lo) / 2;
    auto a = block(mid);
    if (!a) return a;
    if (a->first_ordinal <= ord) {
      lo = mid;
    } else {
      hi = mid;
    }
  }
  return block(lo);
}

}  // namespace fendral::sstable
