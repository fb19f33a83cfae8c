// The term dictionary of one field of a segment: an FST mapping each term
// key to its ordinal (0, 1, ... in key order), followed by the term-info
// store of those ordinals. Section layout in the ".term" file:
//   FST bytes | term-info store (S bytes) | u64 S | u32 version 1
// The field serializer appends the u32 dictionary kind (1 = FST) after it;
// the inverted index reader strips that word before opening.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "fulltext/common/file_slice.h"
#include "fulltext/common/io.h"
#include "fulltext/error/error.h"
#include "fulltext/fst/builder.h"
#include "fulltext/fst/fst.h"
#include "fulltext/termdict/term_info_store.h"

namespace fendral::termdict {

constexpr uint32_t kTermDictVersion = 1;
constexpr uint32_t kDictionaryKindFst = 1;
constexpr uint32_t kDictionaryKindSstable = 2;

class TermDictionaryBuilder {
 public:
  // Writes the FST header to `out`, which must outlive the builder.
  static Result<TermDictionaryBuilder> create(Write* out);

  // Adds the next key with the next ordinal. A key not strictly greater than
  // the previous one is refused with the FST builder's error.
  std::expected<void, fst::Error> insert_key(std::span<const uint8_t> key);
  // The TermInfo of the key inserted last (one per key, in order).
  void insert_value(const TermInfo& info) { store_.write_term_info(info); }
  // Finishes the FST, then writes the term-info store, its length and the
  // version word.
  IoResult<void> finish();

 private:
  TermDictionaryBuilder(Write* out, fst::Builder builder) : out_(out), fst_(std::move(builder)) {}
  Write* out_;
  fst::Builder fst_;
  TermInfoStoreWriter store_;
  uint64_t next_ord_ = 0;
};

class TermDictionary {
 public:
  // Opens a dictionary section without its kind word. Errors: a section under
  // 12 bytes "failed to fill whole buffer"; version other than 1 "Unsupported
  // fst version, expected 1, found {}"; a bad FST "Fst data is corrupted: {}";
  // a store that does not fit, DataCorruption.
  static Result<TermDictionary> open(const FileSlice& section);
  // The dictionary without terms (built once per process).
  static const TermDictionary& empty();

  uint64_t num_terms() const { return store_.num_terms(); }
  // The ordinal of a key, or none. Corrupt FST nodes give DataCorruption.
  Result<std::optional<uint64_t>> term_ord(std::span<const uint8_t> key) const;
  // The TermInfo of a key, or none.
  Result<std::optional<TermInfo>> get(std::span<const uint8_t> key) const;
  Result<TermInfo> term_info_from_ord(uint64_t ord) const { return store_.get(ord); }
  // Streams over keys and automatons come from the FST; outputs are ordinals.
  const fst::Fst& fst() const { return fst_; }
  const TermInfoStore& term_info_store() const { return store_; }

 private:
  TermDictionary(fst::Fst f, TermInfoStore s) : fst_(std::move(f)), store_(std::move(s)) {}
  fst::Fst fst_;
  TermInfoStore store_;
};

}  // namespace fendral::termdict
