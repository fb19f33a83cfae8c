// Shared constants of the postings and positions formats.
//
// Postings of one term (doc_freq documents; n = doc_freq / 128 full blocks):
//   [doc_freq >= 128: VInt skip length s, s bytes of n skip entries]
//   n x (doc block [, term-frequency block])
//   tail: r = doc_freq % 128 VInt doc deltas [, r VInt term frequencies]
// Doc blocks are sorted-packed (differences minus one, the first block
// without previous value); frequency blocks hold tf - 1. Tail deltas are
// plain differences from the previous doc (0 before the first document).
//
// Skip entry, one per full block (little-endian):
//   u32 last doc | u8 doc width | 0x40 (bits 5 and 7 zero)
//   with frequencies:      u8 tf width
//   with positions too:    u32 sum of the block's term frequencies
//   with frequencies:      u8 block-max fieldnorm id, u8 block-max tf
// so 5, 8 or 12 bytes. The block-max pair bounds the BM25 term factor of
// every document of the block under any statistics: the smallest fieldnorm
// id of the block (0 without field norms) with the largest term frequency,
// saturated at 255 (read back as 2^32 - 1, "at least 255").
//
// Positions of one term: VInt m, m width bytes, m packed blocks of 128
// position deltas, then the remaining deltas as VInts. Deltas of all the
// term's documents are concatenated in doc order; within a document the
// first is its first position, each further one the gap to the previous.
#pragma once

#include <cstdint>

#include "fulltext/schema/field_type.h"

namespace fendral::postings {

using schema::RecordOption;

// The doc id that ends every doc set; no document has it.
constexpr uint32_t TERMINATED = 0x7FFFFFFF;

constexpr uint8_t kStrictDocsFlag = 0x40;

constexpr uint32_t skip_entry_len(RecordOption option) {
  switch (option) {
    case RecordOption::Basic: return 5;
    case RecordOption::WithFreqs: return 8;
    case RecordOption::WithFreqsAndPositions: return 12;
  }
  return 5;
}

constexpr RecordOption weaker(RecordOption a, RecordOption b) {
  return static_cast<uint8_t>(a) < static_cast<uint8_t>(b) ? a : b;
}

}  // namespace fendral::postings
