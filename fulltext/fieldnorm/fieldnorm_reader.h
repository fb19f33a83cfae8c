// Reading field norms. A segment's ".fieldnorm" file is a composite file
// with one sub-file per field that records field norms (index 0): exactly
// max_doc bytes, byte d the fieldnorm id of document d.
#pragma once

#include <cstdint>
#include <optional>

#include "fulltext/common/owned_bytes.h"
#include "fulltext/directory/composite_file.h"
#include "fulltext/error/error.h"
#include "fulltext/fieldnorm/fieldnorm_code.h"
#include "fulltext/schema/schema.h"

namespace fendral::fieldnorm {

// One field's norms: a byte array (one id per document) or a constant (the
// same id for every document). Cheap to copy; the bytes are shared.
class FieldNormReader {
 public:
  static FieldNormReader from_bytes(OwnedBytes ids) { return FieldNormReader(std::move(ids)); }
  // Every document of num_docs has the id of `length`.
  static FieldNormReader constant(uint32_t num_docs, uint32_t length);

  uint32_t num_docs() const { return num_docs_; }
  // Contract: doc < num_docs() for the byte-array form.
  uint8_t fieldnorm_id(uint32_t doc) const { return constant_ ? id_ : ids_.data()[doc]; }
  uint32_t fieldnorm(uint32_t doc) const { return length_of_id(fieldnorm_id(doc)); }

 private:
  explicit FieldNormReader(OwnedBytes ids)
      : ids_(std::move(ids)), num_docs_(static_cast<uint32_t>(ids_.len())), constant_(false), id_(0) {}
  FieldNormReader(uint32_t num_docs, uint8_t id) : num_docs_(num_docs), constant_(true), id_(id) {}
  OwnedBytes ids_;
  uint32_t num_docs_;
  bool constant_;
  uint8_t id_;
};

// The opened ".fieldnorm" file of a segment; shared read-only.
class FieldNormReaders {
 public:
  static Result<FieldNormReaders> open(const FileSlice& file);
  // Absent when the file has no sub-file for the field.
  Result<std::optional<FieldNormReader>> get_field(schema::Field field) const;

 private:
  explicit FieldNormReaders(CompositeFile file) : file_(std::move(file)) {}
  CompositeFile file_;
};

}  // namespace fendral::fieldnorm
