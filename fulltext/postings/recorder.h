// Recorders: the per-term state of the in-memory postings writers, stored by
// value in the segment's term map. Each appends VInts (common VInt) to its
// list in the recorders' arena:
//   DocIdRecorder           VInt(doc delta) per document
//   TermFrequencyRecorder   VInt(doc delta), VInt(tf) per document, the last
//                           document's tf held in current_tf instead
//   TfAndPositionRecorder   VInt(doc delta), VInt(position + 1) per
//                           occurrence, 0x80 between documents (none after
//                           the last)
// The first document's delta is the doc itself. replay() feeds the recorded
// documents, in order, to a sink with write_doc(doc, tf, position_deltas),
// the deltas being the first position then the gaps between positions.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <vector>

#include "fulltext/common/vint.h"
#include "fulltext/error/error.h"
#include "fulltext/stacker/expull.h"
#include "fulltext/stacker/memory_arena.h"

namespace fendral::postings {

namespace detail {
Result<void> append_vint(stacker::ExpUnrolledLinkedList& list, stacker::MemoryArena& arena, uint32_t v);
Result<void> append_bytes(stacker::ExpUnrolledLinkedList& list, stacker::MemoryArena& arena,
                          std::span<const uint8_t> bytes);
// Reads one VInt of a list the recorders wrote: a malformed one is an
// internal inconsistency ("Corrupted data. Invalid VInt 32").
uint32_t next_vint(std::span<const uint8_t>& in);
}  // namespace detail

struct DocIdRecorder {
  static constexpr bool kHasFreqs = false;
  stacker::ExpUnrolledLinkedList list;
  uint32_t current_doc = 0;

  // absent: the term is new in this segment (the recorder was just created).
  Result<void> record(bool absent, uint32_t doc, uint32_t position, stacker::MemoryArena& arena);
  uint32_t term_doc_freq() const { return 0; }
  template <class Sink>
  void replay(std::span<const uint8_t> bytes, std::vector<uint32_t>& scratch, Sink& sink) const;
};

struct TermFrequencyRecorder {
  static constexpr bool kHasFreqs = true;
  stacker::ExpUnrolledLinkedList list;
  uint32_t current_doc = 0;
  uint32_t current_tf = 0;
  uint32_t doc_freq = 0;

  Result<void> record(bool absent, uint32_t doc, uint32_t position, stacker::MemoryArena& arena);
  uint32_t term_doc_freq() const { return doc_freq; }
  template <class Sink>
  void replay(std::span<const uint8_t> bytes, std::vector<uint32_t>& scratch, Sink& sink) const;
};

struct TfAndPositionRecorder {
  static constexpr bool kHasFreqs = true;
  stacker::ExpUnrolledLinkedList list;
  uint32_t current_doc = 0;
  uint32_t doc_freq = 0;

  Result<void> record(bool absent, uint32_t doc, uint32_t position, stacker::MemoryArena& arena);
  uint32_t term_doc_freq() const { return doc_freq; }
  template <class Sink>
  void replay(std::span<const uint8_t> bytes, std::vector<uint32_t>& scratch, Sink& sink) const;
};

static_assert(sizeof(DocIdRecorder) == 20 && sizeof(TermFrequencyRecorder) == 28 &&
              sizeof(TfAndPositionRecorder) == 24);
static_assert(std::is_trivially_copyable_v<TfAndPositionRecorder>);

template <class Sink>
void DocIdRecorder::replay(std::span<const uint8_t> bytes, std::vector<uint32_t>&, Sink& sink) const {
  uint32_t doc = 0;
  while (!bytes.empty()) {
    doc += detail::next_vint(bytes);
    sink.write_doc(doc, 0, {});
  }
}

template <class Sink>
void TermFrequencyRecorder::replay(std::span<const uint8_t> bytes, std::vector<uint32_t>&, Sink& sink) const {
  uint32_t doc = 0;
  while (!bytes.empty()) {
    doc += detail::next_vint(bytes);
    uint32_t tf = bytes.empty() ? current_tf : detail::next_vint(bytes);
    sink.write_doc(doc, tf, {});
  }
}

template <class Sink>
void TfAndPositionRecorder::replay(std::span<const uint8_t> bytes, std::vector<uint32_t>& scratch, Sink& sink) const {
  uint32_t doc = 0;
  while (!bytes.empty()) {
    doc += detail::next_vint(bytes);
    scratch.clear();
    uint32_t previous = 1;
    while (!bytes.empty()) {
      uint32_t v = detail::next_vint(bytes);
      if (v == 0) break;
      scratch.push_back(v - previous);
      previous = v;
    }
    sink.write_doc(doc, static_cast<uint32_t>(scratch.size()), std::span<const uint32_t>(scratch));
  }
}

}  // namespace fendral::postings
