#include "fulltext/postings/recorder.h"

namespace fendral::postings {

namespace detail {

Result<void> append_vint(stacker::ExpUnrolledLinkedList& list, stacker::MemoryArena& arena, uint32_t v) {
  uint8_t buf[vint::kMaxLen];
  size_t n = vint::serialize(v, buf);
  return list.extend_from_slice(arena, std::span<const uint8_t>(buf, n));
}

Result<void> append_bytes(stacker::ExpUnrolledLinkedList& list, stacker::MemoryArena& arena,
                          std::span<const uint8_t> bytes) {
  return list.extend_from_slice(arena, bytes);
}

uint32_t next_vint(std::span<const uint8_t>& in) {
  auto v = vint::read_u32(in);
  if (!v) contract_violation("Corrupted data. Invalid VInt 32");
  return *v;
}

}  // namespace detail

Result<void> DocIdRecorder::record(bool absent, uint32_t doc, uint32_t, stacker::MemoryArena& arena) {
  if (absent) {
    current_doc = doc;
    return detail::append_vint(list, arena, doc);
  }
  if (doc == current_doc) return {};
  uint32_t delta = doc - current_doc;
  current_doc = doc;
  return detail::append_vint(list, arena, delta);
}

Result<void> TermFrequencyRecorder::record(bool absent, uint32_t doc, uint32_t, stacker::MemoryArena& arena) {
  if (absent) {
    current_doc = doc;
    current_tf = 1;
    doc_freq = 1;
    return detail::append_vint(list, arena, doc);
  }
  if (doc == current_doc) {
    ++current_tf;
    return {};
  }
  auto r = detail::append_vint(list, arena, current_tf);
  if (r) r = detail::append_vint(list, arena, doc - current_doc);
  ++doc_freq;
  current_doc = doc;
  current_tf = 1;
  return r;
}

Result<void> TfAndPositionRecorder::record(bool absent, uint32_t doc, uint32_t position,
                                           stacker::MemoryArena& arena) {
  Result<void> r;
  if (absent) {
    current_doc = doc;
    doc_freq = 1;
    r = detail::append_vint(list, arena, doc);
  } else if (doc != current_doc) {
    static const uint8_t kEndOfDoc = 0x80;
    r = detail::append_bytes(list, arena, std::span<const uint8_t>(&kEndOfDoc, 1));
    if (r) r = detail::append_vint(list, arena, doc - current_doc);
    ++doc_freq;
    current_doc = doc;
  }
  if (r) r = detail::append_vint(list, arena, position + 1);
  return r;
}

}  // namespace fendral::postings
