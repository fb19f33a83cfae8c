// Read side of an sstable: ordinal lookups and key-range streams.
//
// A key's ordinal is its position among all keys of the sstable, from 0.
// The dictionary holds the bytes before the index, the opened block index
// and the number of keys; it is immutable and shared, and every lookup or
// streamer decodes blocks into buffers of its own.
//
//   auto dict = Dictionary::open(bytes, ValueKind::KeysOnly);
//   auto s = dict->stream_range(Bound::included(lo), Bound::unbounded());
//   while (*s.advance()) use(s.key(), s.term_ord());
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "fulltext/common/owned_bytes.h"
#include "fulltext/error/error.h"
#include "fulltext/fst/stream.h"
#include "fulltext/sstable/block.h"
#include "fulltext/sstable/index.h"

namespace fendral::sstable {

using Bound = fst::Bound;

class Streamer {
 public:
  // Moves to the next key of the range: true when one is current, false
  // after the last; a block that cannot be read is an I/O error.
  IoResult<bool> advance();
  std::span<const uint8_t> key() const { return cursor_.key(); }
  uint64_t term_ord() const { return ord_; }
  // The current key's value (ranges only).
  Range value() const { return cursor_.range_value(); }

 private:
  friend class Dictionary;
  Streamer(OwnedBytes data, ValueKind kind, uint64_t first_ord, Bound lower, Bound upper)
      : data_(std::move(data)), reader_(data_.as_bytes()), kind_(kind), ord_(first_ord - 1), lower_(std::move(lower)), upper_(std::move(upper)) {}
  OwnedBytes data_;  // keeps the sstable bytes alive
  BlockReader reader_;
  BlockCursor cursor_;
  ValueKind kind_;
  uint64_t ord_;
  Bound lower_;
  Bound upper_;
  bool in_block_ = false;
  bool done_ = false;
};

class Dictionary {
 public:
  // Opens the sstable bytes. Short input: unexpected end "failed to fill
  // whole buffer"; an index offset past the footer, or an index that does not
  // load: invalid data "SSTable corruption"; a version other than 2 or 3:
  // kind Other "Unsupported sstable version, expected one of [2, 3], found N".
  static IoResult<Dictionary> open(OwnedBytes bytes, ValueKind kind);
  // An sstable without keys.
  static Dictionary empty(ValueKind kind);

  uint64_t num_terms() const { return num_terms_; }

  // The key's ordinal when present.
  IoResult<std::optional<uint64_t>> term_ord(std::span<const uint8_t> key) const;
  IoResult<std::optional<uint64_t>> term_ord(std::string_view key) const {
    return term_ord(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(key.data()), key.size()));
  }
  struct Lookup {
    bool found;
    // The key's ordinal when found, else the ordinal of the first key after
    // it (UINT64_MAX when it lies after every block).
    uint64_t ord;
  };
  IoResult<Lookup> lookup(std::span<const uint8_t> key) const;

  // A streamer placed before the first key within the bounds.
  IoResult<Streamer> stream_range(const Bound& lower, const Bound& upper) const;
  IoResult<Streamer> stream_all() const { return stream_range(Bound::unbounded(), Bound::unbounded()); }

 private:
  OwnedBytes data_;
  std::shared_ptr<const SSTableIndex> index_;
  ValueKind kind_ = ValueKind::KeysOnly;
  uint64_t num_terms_ = 0;
};

}  // namespace fendral::sstable
