// The read side of one segment: its term dictionaries and postings per field
// (opened lazily, cached), field norms, stored documents and alive bitset.
// Immutable once opened apart from the per-field cache; shared by searchers.
//
// Damaged inputs are DataCorruption, never reads out of range: a delete file
// whose bit set is short or whose bound differs from max_doc.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "fulltext/common/bitset.h"
#include "fulltext/directory/composite_file.h"
#include "fulltext/error/error.h"
#include "fulltext/fastfield/fast_field_readers.h"
#include "fulltext/fieldnorm/fieldnorm_reader.h"
#include "fulltext/index/index.h"
#include "fulltext/index/inverted_index_reader.h"
#include "fulltext/store/store_reader.h"

namespace fendral::index {

class SegmentReader {
 public:
  // `alive` overrides the segment's delete file when given.
  static Result<std::shared_ptr<const SegmentReader>> open(const FendralIndex& index, const SegmentMeta& meta,
                                                           std::optional<ReadOnlyBitSet> alive = std::nullopt);

  const SegmentMeta& meta() const { return meta_; }
  const SegmentId& segment_id() const { return meta_.id(); }
  uint32_t max_doc() const { return meta_.max_doc(); }
  uint32_t num_docs() const { return alive_ ? alive_->len() : max_doc(); }
  bool has_deletes() const { return num_docs() != max_doc(); }
  // Present exactly when the segment has deletes.
  const ReadOnlyBitSet* alive_bitset() const { return alive_ ? &*alive_ : nullptr; }
  bool is_alive(uint32_t doc) const { return !alive_ || alive_->contains(doc); }
  const schema::Schema& schema() const { return schema_; }

  // The field's inverted index; fields not indexed give an empty reader.
  Result<std::shared_ptr<const InvertedIndexReader>> inverted_index(schema::Field field) const;
  // The field's norms, absent when the field records none.
  Result<std::optional<fieldnorm::FieldNormReader>> fieldnorm_reader(schema::Field field) const {
    return fieldnorms_.get_field(field);
  }
  const FileSlice& store_file() const { return store_file_; }
  // The fast-field columns, opened on first use and kept.
  Result<std::shared_ptr<const fastfield::FastFieldReaders>> fast_fields() const;
  // A store reader with the given block-cache capacity.
  Result<store::StoreReader> open_store(size_t cache_blocks) const { return store::StoreReader::open(store_file_, cache_blocks); }

 private:
  SegmentReader(SegmentMeta meta, schema::Schema schema, fieldnorm::FieldNormReaders norms)
      : meta_(std::move(meta)), schema_(std::move(schema)), fieldnorms_(std::move(norms)) {}

  SegmentMeta meta_;
  schema::Schema schema_;
  fieldnorm::FieldNormReaders fieldnorms_;
  CompositeFile terms_ = CompositeFile::empty();
  CompositeFile postings_ = CompositeFile::empty();
  CompositeFile positions_ = CompositeFile::empty();
  FileSlice store_file_;
  std::optional<ReadOnlyBitSet> alive_;
  std::optional<FileSlice> fast_file_;  // absent: fast_error_ says why
  std::optional<FendralError> fast_error_;
  mutable std::mutex cache_mu_;
  mutable std::shared_ptr<const fastfield::FastFieldReaders> fast_;
  mutable std::map<schema::Field, std::shared_ptr<const InvertedIndexReader>> cache_;
};

// Reads and checks a segment's alive bitset from its delete file bytes.
Result<ReadOnlyBitSet> read_alive_bitset(OwnedBytes bytes, uint32_t max_doc);

}  // namespace fendral::index
