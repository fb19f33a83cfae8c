// The doc -> row mapping of a column.
//
// Bytes: a kind byte (0 Full, 1 Optional, 2 Multivalued), then
//   Full:        nothing (row id = doc id);
//   Optional:    an OptionalIndex;
//   Multivalued: format 2 (written): an OptionalIndex over the docs with
//                values, the start offsets as u64 column values (one per such
//                doc plus the total), u32 length of the optional index;
//                format 1 (read only): start offsets for every doc + 1.
// Empty stands for a column a segment lacks; it is never stored.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "fulltext/columnar/column_index/optional_index.h"
#include "fulltext/columnar/column_values/column_values.h"
#include "fulltext/common/owned_bytes.h"
#include "fulltext/error/error.h"

namespace fendral::columnar {

enum class Cardinality : uint8_t { Full = 0, Optional = 1, Multivalued = 2 };

// Visits ascending doc ids, or u64 values, from the start on every call.
using DocVisitor = std::function<void(const std::function<void(uint32_t)>&)>;

// What the writer and the merge hand to ColumnIndex::serialize.
struct ColumnIndexToWrite {
  Cardinality cardinality = Cardinality::Full;
  uint32_t num_rows = 0;          // Optional / Multivalued: documents covered
  DocVisitor docs;                // Optional / Multivalued: docs with values
  const U64Source* start_offsets = nullptr;  // Multivalued: one per doc with values, then the total
};

class ColumnIndex {
 public:
  enum class Kind { Empty, Full, Optional, Multivalued };

  static ColumnIndex empty(uint32_t num_docs) {
    ColumnIndex c;
    c.kind_ = Kind::Empty;
    c.num_docs_ = num_docs;
    return c;
  }
  static ColumnIndex full() { return ColumnIndex(); }
  // An empty buffer: unexpected end "Failed to deserialize column index.
  // Empty buffer."; a kind byte of 3 or more: invalid data "Invalid data".
  static IoResult<ColumnIndex> open(OwnedBytes bytes, uint32_t format_version);
  // Returns the number of bytes appended, kind byte included.
  static IoResult<uint32_t> serialize(const ColumnIndexToWrite& index, std::vector<uint8_t>& out);

  Kind kind() const { return kind_; }
  // The stored cardinality of the index (Empty counts as Optional with docs).
  Cardinality cardinality() const;
  const OptionalIndex* optional_index() const { return optional_ ? optional_.get() : nullptr; }
  // Multivalued only.
  int format() const { return multivalued_form_; }
  const std::shared_ptr<const ColumnValues<uint32_t>>& start_index() const { return start_index_; }

  // Docs the index covers; for Full the caller knows (the number of values).
  uint32_t num_docs(uint32_t num_vals_if_full) const;
  // Rows of docs [a, b).
  std::pair<uint32_t, uint32_t> docid_range_to_rowids(uint32_t a, uint32_t b) const;
  // The rows of one doc.
  std::pair<uint32_t, uint32_t> value_row_range(uint32_t doc) const;
  // Rewrites ascending row ids found in docs from docid_start on into the
  // ascending distinct docs owning them.
  void rowids_to_docids(uint32_t docid_start, std::vector<uint32_t>& rows) const;

 private:
  uint32_t start_val(uint32_t i) const;
  Kind kind_ = Kind::Full;
  uint32_t num_docs_ = 0;
  std::shared_ptr<const OptionalIndex> optional_;
  std::shared_ptr<const ColumnValues<uint32_t>> start_index_;
  int multivalued_form_ = 2;
};

}  // namespace fendral::columnar
