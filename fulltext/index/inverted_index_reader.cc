#include "fulltext/index/inverted_index_reader.h"

#include <cstring>
#include <string>

namespace fendral::index {

namespace {

FendralError short_read() { return IoError(IoErrorKind::UnexpectedEof, "failed to fill whole buffer"); }

FendralError corrupt(std::string what) { return FendralError::data_corruption(std::nullopt, std::move(what)); }

// The bytes of [range) within `file`, or DataCorruption when it leaves it.
Result<OwnedBytes> read_checked(const FileSlice& file, const termdict::ByteRange& range, const char* what) {
  if (range.start > range.end || range.end > file.len()) {
    return fail(corrupt(std::string(what) + " range " + std::to_string(range.start) + ".." +
                        std::to_string(range.end) + " past its sub-file of " + std::to_string(file.len()) +
                        " bytes"));
  }
  auto bytes = file.read_range(range.start, range.end);
  if (!bytes) return fail(bytes.error());
  return std::move(*bytes);
}

}  // namespace

Result<std::shared_ptr<const InvertedIndexReader>> InvertedIndexReader::open(const FileSlice& terms,
                                                                             const FileSlice& postings,
                                                                             const FileSlice& positions,
                                                                             schema::RecordOption option) {
  if (terms.len() < 4) return fail(short_read());
  auto kind_bytes = terms.read_range(terms.len() - 4, terms.len());
  if (!kind_bytes) return fail(kind_bytes.error());
  uint32_t kind;
  std::memcpy(&kind, kind_bytes->data(), 4);
  if (kind == termdict::kDictionaryKindSstable) {
    return fail(IoError(IoErrorKind::Other, "Unsupported dictionary type, compiled Fendral with Fst, but got SSTable"));
  }
  if (kind != termdict::kDictionaryKindFst) {
    return fail(IoError(IoErrorKind::Other, "Unsupported dictionary type, found " + std::to_string(kind)));
  }
  auto dict = termdict::TermDictionary::open(terms.sub_slice(0, terms.len() - 4));
  if (!dict) return fail(dict.error());
  if (postings.len() < 8) return fail(short_read());
  auto header = postings.read_range(0, 8);
  if (!header) return fail(header.error());
  uint64_t tokens;
  std::memcpy(&tokens, header->data(), 8);
  return std::shared_ptr<const InvertedIndexReader>(
      new InvertedIndexReader(std::move(*dict), postings.suffix_from(8), positions, tokens, option));
}

std::shared_ptr<const InvertedIndexReader> InvertedIndexReader::empty(schema::RecordOption option) {
  return std::shared_ptr<const InvertedIndexReader>(
      new InvertedIndexReader(termdict::TermDictionary::empty(), FileSlice(), FileSlice(), 0, option));
}

Result<postings::BlockSegmentPostings> InvertedIndexReader::read_block_postings(const termdict::TermInfo& info,
                                                                                schema::RecordOption requested) const {
  auto bytes = read_checked(postings_, info.postings_range, "postings");
  if (!bytes) return fail(bytes.error());
  return postings::BlockSegmentPostings::open(info.doc_freq, std::move(*bytes), record_option_, requested);
}

Result<postings::SegmentPostings> InvertedIndexReader::read_postings(const termdict::TermInfo& info,
                                                                     schema::RecordOption requested) const {
  auto effective = postings::weaker(requested, record_option_);
  auto block = read_block_postings(info, effective);
  if (!block) return fail(block.error());
  std::optional<positions::PositionsReader> pos;
  if (effective == schema::RecordOption::WithFreqsAndPositions) {
    auto bytes = read_checked(positions_, info.positions_range, "positions");
    if (!bytes) return fail(bytes.error());
    auto reader = positions::PositionsReader::open(std::move(*bytes));
    if (!reader) return fail(reader.error());
    pos = std::move(*reader);
  }
  return postings::SegmentPostings(std::move(*block), std::move(pos));
}

}  // namespace fendral::index
