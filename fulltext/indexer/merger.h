// The merger: several segments of one index become one new segment. Deleted
// documents are dropped; the survivors keep their order, segment after
// segment, renumbered from 0. Phases, in order: field norms, postings of
// every indexed field, stored documents, fast fields; then the serializer is
// closed. The postings phase reads the ".fieldnorm" file the first phase
// closed.
//
//   auto m = IndexMerger::open(index, source_metas);
//   auto max_doc = m->write(SegmentSerializer::open(index, new_meta));
//
// Damaged sources are DataCorruption, never reads out of range: postings
// naming a doc id >= max_doc, segments disagreeing on term frequencies.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "fulltext/index/segment_reader.h"
#include "fulltext/indexer/segment_serializer.h"

namespace fendral::indexer {

class IndexMerger {
 public:
  // One reader per segment that still holds a live document. InvalidArgument
  // when the merged segment would hold 2^31 documents or more.
  static Result<IndexMerger> open(const index::FendralIndex& index, const std::vector<index::SegmentMeta>& segments);

  // Writes the merged segment through `serializer` (closed on success,
  // dropped unfinished on failure); returns its max_doc. Once `stop` reads
  // true the merge gives up between phases or terms with SystemError
  // "Segment updater killed", leaving its unfinished files to the next
  // garbage collection.
  Result<uint32_t> write(std::unique_ptr<SegmentSerializer> serializer,
                         const std::atomic<bool>* stop = nullptr) const;

  uint32_t max_doc() const { return max_doc_; }

 private:
  struct DocAddress {
    uint32_t segment_ord;
    uint32_t doc_id;
  };
  struct Mapping {
    std::vector<DocAddress> new_to_old;
    bool has_deletes = false;
  };

  IndexMerger(index::FendralIndex index, std::vector<std::shared_ptr<const index::SegmentReader>> readers,
              uint32_t max_doc)
      : index_(std::move(index)), readers_(std::move(readers)), max_doc_(max_doc) {}

  Mapping doc_id_mapping() const;
  Result<void> write_fieldnorms(SegmentSerializer& serializer, const Mapping& mapping) const;
  Result<void> write_postings(SegmentSerializer& serializer, const Mapping& mapping,
                              const std::atomic<bool>* stop) const;
  Result<void> write_postings_for_field(schema::Field field, std::optional<fieldnorm::FieldNormReader> norms,
                                        SegmentSerializer& serializer, const Mapping& mapping,
                                        const std::atomic<bool>* stop) const;
  Result<uint64_t> merged_token_count(schema::Field field,
                                      const std::vector<std::shared_ptr<const index::InvertedIndexReader>>& inv) const;
  Result<void> write_storable_fields(SegmentSerializer& serializer) const;
  Result<void> write_fast_fields(SegmentSerializer& serializer, const Mapping& mapping) const;

  index::FendralIndex index_;
  std::vector<std::shared_ptr<const index::SegmentReader>> readers_;
  uint32_t max_doc_;
};

}  // namespace fendral::indexer
