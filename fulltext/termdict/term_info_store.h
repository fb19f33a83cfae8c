// The term-info store: the TermInfo of every term ordinal of a field, in
// blocks of 256 consecutive ordinals. Layout (little-endian):
//   u64 L (bytes of block metas), u64 number of terms,
//   L bytes of 39-byte block metas, then every block's bit-packed entries.
// A block meta holds the block's first term whole (doc_freq, postings start
// and length, positions start and length) plus the entries' offset and their
// three widths; terms 1..n-1 are (postings start, positions start, doc_freq)
// relative to the first term, then one final pair of ends. Each term's ends
// are the next term's starts.
#pragma once

#include <cstdint>
#include <vector>

#include "fulltext/common/io.h"
#include "fulltext/common/owned_bytes.h"
#include "fulltext/error/error.h"
#include "fulltext/termdict/term_info.h"

namespace fendral::termdict {

constexpr size_t kTermInfoBlockLen = 256;
constexpr size_t kBlockMetaLen = 39;

class TermInfoStoreWriter {
 public:
  TermInfoStoreWriter() { pending_.reserve(kTermInfoBlockLen); }
  // Appends the next ordinal's TermInfo. Contract: ranges do not go
  // backwards and a block's first term spans less than 4 GiB.
  void write_term_info(const TermInfo& info);
  // Writes the pending block (if any) and the whole store; returns its length.
  IoResult<uint64_t> serialize(Write& out);
  uint64_t num_terms() const { return num_terms_; }

 private:
  void flush_block();
  std::vector<uint8_t> metas_;
  std::vector<uint8_t> entries_;
  std::vector<TermInfo> pending_;
  uint64_t num_terms_ = 0;
};

// Read side, over the store's bytes. Immutable, shared by searching threads.
class TermInfoStore {
 public:
  // Fails with DataCorruption when the header or the metas do not fit.
  static Result<TermInfoStore> open(const OwnedBytes& bytes);
  static TermInfoStore empty() { return TermInfoStore(); }

  uint64_t num_terms() const { return num_terms_; }
  // The TermInfo of ordinal `ord`. An ordinal past the end, a truncated
  // block meta or a width above 56 bits give DataCorruption.
  Result<TermInfo> get(uint64_t ord) const;

 private:
  TermInfoStore() = default;
  uint64_t num_terms_ = 0;
  OwnedBytes metas_;
  OwnedBytes entries_;
};

}  // namespace fendral::termdict
