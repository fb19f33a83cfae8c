// Reads the inverted index of one field of one segment from its three
// sub-files (index 0 of the ".term", ".idx" and ".pos" composites):
//   ".term"  term dictionary section, then u32 dictionary kind (1 = FST)
//   ".idx"   u64 token count, then the postings of all terms
//   ".pos"   the positions of all terms
// Immutable and shared; every call returns independently owned postings.
// Ranges taken from the dictionary are checked against the sub-files: one
// that points past them is DataCorruption.
#pragma once

#include <cstdint>
#include <memory>

#include "fulltext/common/file_slice.h"
#include "fulltext/error/error.h"
#include "fulltext/postings/block_segment_postings.h"
#include "fulltext/postings/segment_postings.h"
#include "fulltext/termdict/term_dictionary.h"

namespace fendral::index {

class InvertedIndexReader {
 public:
  // Errors: kind 2 "Unsupported dictionary type, compiled Fendral with Fst,
  // but got SSTable"; other kinds "Unsupported dictionary type, found {}";
  // a term sub-file under 4 bytes or a postings sub-file under 8 bytes
  // "failed to fill whole buffer"; the dictionary's own open errors.
  static Result<std::shared_ptr<const InvertedIndexReader>> open(const FileSlice& terms, const FileSlice& postings,
                                                                 const FileSlice& positions,
                                                                 schema::RecordOption record_option);
  // No terms, token count 0.
  static std::shared_ptr<const InvertedIndexReader> empty(schema::RecordOption record_option);

  const termdict::TermDictionary& terms() const { return terms_; }
  uint64_t total_num_tokens() const { return total_num_tokens_; }
  schema::RecordOption record_option() const { return record_option_; }

  // The term's block postings with frequencies as `requested` asks.
  Result<postings::BlockSegmentPostings> read_block_postings(const termdict::TermInfo& info,
                                                             schema::RecordOption requested) const;
  // The term's postings on their first doc, with positions when both the
  // request and the field have them.
  Result<postings::SegmentPostings> read_postings(const termdict::TermInfo& info,
                                                  schema::RecordOption requested) const;

 private:
  InvertedIndexReader(termdict::TermDictionary terms, FileSlice postings, FileSlice positions, uint64_t tokens,
                      schema::RecordOption option)
      : terms_(std::move(terms)), postings_(std::move(postings)), positions_(std::move(positions)),
        total_num_tokens_(tokens), record_option_(option) {}
  termdict::TermDictionary terms_;
  FileSlice postings_;
  FileSlice positions_;
  uint64_t total_num_tokens_;
  schema::RecordOption record_option_;
};

}  // namespace fendral::index
