#include "fulltext/sstable/dictionary.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace fendral::sstable {

namespace {

bool less(std::span<const uint8_t> a, std::span<const uint8_t> b) {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end());
}

}  // namespace

IoResult<Dictionary> Dictionary::open(OwnedBytes bytes, ValueKind kind) {
  if (bytes.len() < 20) return io_fail(IoErrorKind::UnexpectedEof, "failed to fill whole buffer");
  const uint8_t* footer = bytes.data() + bytes.len() - 20;
  uint64_t index_offset;
  uint64_t num_terms;
  uint32_t version;
  std::memcpy(&index_offset, footer, 8);
  std::memcpy(&num_terms, footer + 8, 8);
  std::memcpy(&version, footer + 16, 4);
  if (version != 2 && version != 3) {
    return io_fail(IoErrorKind::Other, "Unsupported sstable version, expected one of [2, 3], found " +
                                           std::to_string(version));
  }
  uint64_t body = bytes.len() - 20;
  if (index_offset > body) return io_fail(IoErrorKind::InvalidData, "SSTable corruption");
  auto index = SSTableIndex::open(bytes.sub_range(index_offset, body), version, index_offset);
  if (!index) return std::unexpected(index.error());
  Dictionary d;
  d.data_ = bytes.sub_range(0, index_offset);
  d.index_ = std::make_shared<const SSTableIndex>(std::move(*index));
  d.kind_ = kind;
  d.num_terms_ = num_terms;
  return d;
}

Dictionary Dictionary::empty(ValueKind kind) {
  Dictionary d;
  d.kind_ = kind;
  d.index_ = std::make_shared<const SSTableIndex>(*SSTableIndex::open(OwnedBytes::copy_of(std::vector<uint8_t>(8, 0)), 3, 0));
  return d;
}

IoResult<Dictionary::Lookup> Dictionary::lookup(std::span<const uint8_t> key) const {
  auto block = index_->get_block_with_key(key);
  if (!block) return std::unexpected(block.error());
  if (!*block) return Lookup{false, UINT64_MAX};
  const BlockAddr addr = **block;
  BlockReader reader(data_.as_bytes().subspan(addr.start, addr.end - addr.start));
  BlockCursor cursor;
  uint64_t ord = addr.first_ordinal;
  while (true) {
    auto more = reader.read_block();
    if (!more) return std::unexpected(more.error());
    if (!*more) return Lookup{false, ord};
    if (auto r = cursor.reset(reader.content(), kind_); !r) return std::unexpected(r.error());
    while (true) {
      auto next = cursor.next();
      if (!next) return std::unexpected(next.error());
      if (!*next) break;
      if (!less(cursor.key(), key)) {
        return Lookup{std::ranges::equal(cursor.key(), key), ord};
      }
      ++ord;
    }
  }
}

IoResult<std::optional<uint64_t>> Dictionary::term_ord(std::span<const uint8_t> key) const {
  auto l = lookup(key);
  if (!l) return std::unexpected(l.error());
  if (!l->found) return std::optional<uint64_t>();
  return std::optional<uint64_t>(l->ord);
}

IoResult<Streamer> Dictionary::stream_range(const Bound& lower, const Bound& upper) const {
  uint64_t start = 0;
  uint64_t end = data_.len();
  uint64_t first_ord = 0;
  if (lower.kind != Bound::Kind::Unbounded) {
    auto b = index_->get_block_with_key(lower.key);
    if (!b) return std::unexpected(b.error());
    if (!*b) {
      start = end;
    } else {
      start = (*b)->start;
      first_ord = (*b)->first_ordinal;
    }
  }
  if (upper.kind != Bound::Kind::Unbounded && start < end) {
    auto b = index_->get_block_with_key(upper.key);
    if (!b) return std::unexpected(b.error());
    if (*b) end = std::max(start, (*b)->end);
  }
  return Streamer(data_.sub_range(start, end), kind_, first_ord, lower, upper);
}

IoResult<bool> Streamer::advance() {
  while (!done_) {
    if (!in_block_) {
      auto more = reader_.read_block();
      if (!more) {
        done_ = true;
        return std::unexpected(more.error());
      }
      if (!*more) break;
      if (auto r = cursor_.reset(reader_.content(), kind_); !r) {
        done_ = true;
        return std::unexpected(r.error());
      }
      in_block_ = true;
    }
    auto next = cursor_.next();
    if (!next) {
      done_ = true;
      return std::unexpected(next.error());
    }
    if (!*next) {
      in_block_ = false;
      continue;
    }
    ++ord_;
    std::span<const uint8_t> k = cursor_.key();
    if (lower_.kind != Bound::Kind::Unbounded) {
      bool below = lower_.kind == Bound::Kind::Included ? less(k, lower_.key) : !less(lower_.key, k);
      if (below) continue;
      lower_ = Bound::unbounded();
    }
    if (upper_.exceeded_by(k)) break;
    return true;
  }
  done_ = true;
  return false;
}

}  // namespace fendral::sstable
