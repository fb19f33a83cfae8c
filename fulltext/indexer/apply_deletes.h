// Applying queued deletes to segments.
//
// A new segment (apply_deletes): each document was added at an opstamp; a
// delete reaches exactly the documents added before it.
// A registered segment (advance_deletes): every document predates every
// delete still ahead of its cursor; the result is written as the segment's
// delete file named with the target opstamp.
#pragma once

#include <optional>
#include <vector>

#include "fulltext/index/index.h"
#include "fulltext/indexer/segment_entry.h"

namespace fendral::indexer {

// Contract: doc_opstamps non-empty, one per document of `meta`.
Result<std::optional<AliveBitSet>> apply_deletes(const index::FendralIndex& index, const index::SegmentMeta& meta,
                                                 DeleteCursor& cursor, const std::vector<uint64_t>& doc_opstamps);

// Brings the entry up to `target`: applies every queued delete with an
// opstamp <= target and, when documents were newly deleted, writes the delete
// file and updates the entry's meta. On error the entry keeps its meta.
Result<void> advance_deletes(const index::FendralIndex& index, SegmentEntry& entry, uint64_t target);

}  // namespace fendral::indexer
