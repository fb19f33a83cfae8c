// Owns every writer of one new segment's files and finishes them in a fixed
// order. Files (segment id + extension):
//   ".store"      StoreWriter (store/)
//   ".fast"       buffered writer for the columnar fast fields
//   ".fieldnorm"  composite: one sub-file per field with norms
//   ".term"       composite: one term dictionary per indexed field
//   ".idx"        composite: per indexed field, u64 token count + postings
//   ".pos"        composite: per indexed field, positions (may be empty)
//
// Usage (one thread):
//   auto s = SegmentSerializer::open(index, meta);
//   fieldnorms.serialize(*s->take_field_norms());        // producer closes it
//   for each indexed field, in increasing order:
//     auto f = s->inverted_index().new_field(field, tokens, norms);
//     ... f->new_term / write_doc / close_term ...; f->close();
//   s->store().store_bytes(...); write s->fast_fields();
//   SegmentSerializer::close(std::move(s));
// Close order: ".fieldnorm" (when still held), ".fast", ".term", ".idx",
// ".pos", ".store"; the first failure is returned and later files stay
// unfinished. A serializer dropped without close terminates nothing.
#pragma once

#include <memory>
#include <optional>

#include "fulltext/directory/composite_file.h"
#include "fulltext/error/error.h"
#include "fulltext/fieldnorm/fieldnorm_reader.h"
#include "fulltext/index/index.h"
#include "fulltext/postings/field_serializer.h"
#include "fulltext/store/store_writer.h"

namespace fendral::indexer {

class InvertedIndexSerializer {
 public:
  InvertedIndexSerializer(CompositeWrite terms, CompositeWrite postings, CompositeWrite positions,
                          schema::Schema schema)
      : terms_(std::move(terms)), postings_(std::move(postings)), positions_(std::move(positions)),
        schema_(std::move(schema)) {}

  // Registers the field's three sub-files and returns its serializer, which
  // must be closed before the next field is asked for. Contract: a field of
  // the schema, at most once per segment.
  Result<std::unique_ptr<postings::FieldSerializer>> new_field(schema::Field field, uint64_t token_count,
                                                              std::optional<fieldnorm::FieldNormReader> norms);
  // Closes ".term", ".idx" and ".pos", in that order.
  IoResult<void> close();

 private:
  CompositeWrite terms_, postings_, positions_;
  schema::Schema schema_;
};

class SegmentSerializer {
 public:
  static Result<std::unique_ptr<SegmentSerializer>> open(const index::FendralIndex& index,
                                                         const index::SegmentMeta& segment);

  const index::SegmentMeta& segment() const { return segment_; }
  store::StoreWriter& store() { return *store_; }
  TerminatingWrite& fast_fields() { return *fast_fields_; }
  InvertedIndexSerializer& inverted_index() { return *inverted_index_; }
  // The field-norm composite writer, once; afterwards none.
  std::optional<CompositeWrite> take_field_norms();

  static Result<void> close(std::unique_ptr<SegmentSerializer> serializer);

 private:
  SegmentSerializer(index::SegmentMeta segment) : segment_(std::move(segment)) {}
  index::SegmentMeta segment_;
  std::unique_ptr<store::StoreWriter> store_;
  std::unique_ptr<TerminatingWrite> fast_fields_;
  std::optional<CompositeWrite> field_norms_;
  std::unique_ptr<InvertedIndexSerializer> inverted_index_;
};

}  // namespace fendral::indexer
