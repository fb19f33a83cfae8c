#include "fulltext/indexer/apply_deletes.h"

#include <algorithm>

#include "fulltext/index/segment_reader.h"

namespace fendral::indexer {

AliveBitSet::AliveBitSet(uint32_t max_doc) : max_doc_(max_doc), count_(max_doc), words_((max_doc + 63ull) / 64, ~0ull) {
  if (max_doc % 64 != 0) words_.back() = (uint64_t{1} << (max_doc % 64)) - 1;
}

void AliveBitSet::remove(uint32_t d) {
  uint64_t bit = uint64_t{1} << (d % 64);
  if (words_[d / 64] & bit) {
    words_[d / 64] &= ~bit;
    --count_;
  }
}

std::vector<uint8_t> AliveBitSet::serialize() const {
  std::vector<uint8_t> out;
  out.reserve(4 + 8 * words_.size());
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(max_doc_ >> (8 * i)));
  for (uint64_t w : words_) {
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<uint8_t>(w >> (8 * i)));
  }
  return out;
}

namespace {

// Clears the docs matched by operations up to `target`; doc_opstamps (when
// given) spares documents added after the delete.
Result<bool> compute_deleted_bitset(AliveBitSet& alive, const index::SegmentReader& reader, DeleteCursor& cursor,
                                    const std::vector<uint64_t>* doc_opstamps, uint64_t target) {
  bool changed = false;
  while (const auto* op = cursor.get()) {
    if (op->opstamp > target) break;
    Result<void> ok = op->target->for_each_no_score(reader, [&](std::span<const uint32_t> docs) {
      for (uint32_t d : docs) {
        if (d >= alive.max_doc()) continue;  // damaged postings; never index past the set
        if (doc_opstamps && (*doc_opstamps)[d] >= op->opstamp) continue;
        alive.remove(d);
        changed = true;
      }
    });
    if (!ok) return fail(ok.error());
    cursor.advance();
  }
  return changed;
}

}  // namespace

Result<std::optional<AliveBitSet>> apply_deletes(const index::FendralIndex& index, const index::SegmentMeta& meta,
                                                 DeleteCursor& cursor, const std::vector<uint64_t>& doc_opstamps) {
  if (!cursor.get()) return std::optional<AliveBitSet>();
  if (doc_opstamps.empty()) contract_violation("Empty DocOpstamp is forbidden");
  uint64_t target = *std::max_element(doc_opstamps.begin(), doc_opstamps.end());
  auto reader = index::SegmentReader::open(index, meta);
  if (!reader) return fail(reader.error());
  AliveBitSet alive(meta.max_doc());
  auto changed = compute_deleted_bitset(alive, **reader, cursor, &doc_opstamps, target);
  if (!changed) return fail(changed.error());
  if (!*changed) return std::optional<AliveBitSet>();
  return std::optional<AliveBitSet>(std::move(alive));
}

Result<void> advance_deletes(const index::FendralIndex& index, SegmentEntry& entry, uint64_t target) {
  if (entry.meta.delete_opstamp() == target) return {};
  if (!entry.alive && !entry.cursor.get()) return {};
  auto reader = index::SegmentReader::open(index, entry.meta);
  if (!reader) return fail(reader.error());
  AliveBitSet alive = entry.alive ? *entry.alive : AliveBitSet(entry.meta.max_doc());
  uint32_t deleted_before = entry.meta.num_deleted_docs();
  auto changed = compute_deleted_bitset(alive, **reader, entry.cursor, nullptr, target);
  if (!changed) return fail(changed.error());
  if (const auto* old = (*reader)->alive_bitset()) {
    for (uint32_t d = 0; d < alive.max_doc(); ++d) {
      if (!old->contains(d)) alive.remove(d);
    }
  }
  uint32_t deleted = entry.meta.max_doc() - alive.len();
  if (deleted <= deleted_before) return {};
  auto meta = entry.meta.with_delete_meta(deleted, target);
  auto file = index.directory().open_write(meta.relative_path(index::SegmentComponent::Delete));
  if (!file) return fail(file.error());
  auto bytes = alive.serialize();
  if (auto ok = (*file)->write_all(bytes); !ok) return fail(ok.error());
  if (auto ok = (*file)->terminate_ref(); !ok) return fail(ok.error());
  entry.meta = std::move(meta);
  entry.alive.reset();
  return {};
}

}  // namespace fendral::indexer
