// Builds one segment in memory and writes it through the segment serializer.
// One worker thread owns a segment writer from create to finalize.
//
//   auto w = SegmentWriter::create(budget, index, index.new_segment_meta());
//   w->add_document({opstamp, doc});       // doc ids 0, 1, ... in call order
//   if (w->mem_usage() >= budget - 1'000'000) ... finalize and start anew
//   auto opstamps = SegmentWriter::finalize(std::move(w));  // per doc id
//
// A document is checked against the schema before any part of it is
// written: a value of the wrong type for an indexed non-text field refuses
// that document alone (SchemaError "Expected a {} for field {}"), and the
// writer stays usable.
//
// JSON fields: each value is walked by core::json_utils::index_json_value
// (paths, typed terms, text positions continuing per path within a
// document). A value that has no JSON term form (facet, bytes, IP address,
// pre-tokenized text) refuses the document before anything is written.
//
// Fast fields: every value of a fast field is recorded on the segment's
// FastFieldsWriter and written as the ".fast" file at finalize.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "fulltext/core/json_utils.h"
#include "fulltext/error/error.h"
#include "fulltext/fastfield/fast_fields_writer.h"
#include "fulltext/fieldnorm/fieldnorms_writer.h"
#include "fulltext/index/index.h"
#include "fulltext/indexer/segment_serializer.h"
#include "fulltext/postings/postings_writer.h"
#include "fulltext/schema/document/compact_doc.h"

namespace fendral::indexer {

struct AddOperation {
  uint64_t opstamp = 0;
  schema::CompactDoc document;
};

class SegmentWriter {
 public:
  // Slots of the term hash table for a per-worker budget: the largest 2^k,
  // 10 <= k <= 19, with 8 * 2^k < budget / 3; InvalidArgument "per thread
  // memory budget (={}) is too small. ..." when even 2^10 does not fit.
  static Result<size_t> hash_table_capacity(size_t budget);

  static Result<std::unique_ptr<SegmentWriter>> create(size_t budget, const index::FendralIndex& index,
                                                       index::SegmentMeta segment);

  Result<void> add_document(const AddOperation& op);
  size_t mem_usage() const;
  uint32_t max_doc() const { return max_doc_; }
  const index::SegmentMeta& segment() const { return segment_; }

  // Writes every file of the segment; returns the opstamp of each doc id.
  static Result<std::vector<uint64_t>> finalize(std::unique_ptr<SegmentWriter> writer);

 private:
  SegmentWriter(const index::FendralIndex& index, index::SegmentMeta segment, size_t slots,
                fastfield::FastFieldsWriter fast)
      : index_(index), segment_(std::move(segment)), ctx_(slots), norms_(index.schema()), fast_(std::move(fast)) {}
  Result<void> index_document(uint32_t doc, const std::vector<std::pair<schema::Field, schema::OwnedValue>>& values);
  Result<void> write_fast_fields();

  index::FendralIndex index_;
  index::SegmentMeta segment_;
  std::unique_ptr<SegmentSerializer> serializer_;
  std::vector<std::unique_ptr<postings::PostingsWriter>> writers_;  // per field, null when not indexed
  std::vector<std::optional<tokenizer::TextAnalyzer>> analyzers_;
  postings::IndexingContext ctx_;
  fieldnorm::FieldNormsWriter norms_;
  fastfield::FastFieldsWriter fast_;
  JsonPathWriter json_path_;                          // reused by every JSON value
  core::json_utils::IndexingPositionsPerPath json_positions_;  // per JSON field and document
  std::vector<uint64_t> doc_opstamps_;
  uint32_t max_doc_ = 0;
};

// Refuses values of the wrong type for indexed non-text fields and field ids
// outside the schema (SchemaError), and JSON values that hold a leaf without
// a JSON term form (InvalidArgument "not implemented: ..."). Only JSON
// values are decoded.
Result<void> check_document(const schema::Schema& schema, const schema::CompactDoc& doc);

}  // namespace fendral::indexer
