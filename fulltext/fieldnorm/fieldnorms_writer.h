// Collects the fieldnorm ids of a segment under construction: one growable
// byte buffer per field that records field norms (indexed fields whose
// options enable them; JSON and facet fields never do).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "fulltext/directory/composite_file.h"
#include "fulltext/error/error.h"
#include "fulltext/schema/schema.h"

namespace fendral::fieldnorm {

class FieldNormsWriter {
 public:
  explicit FieldNormsWriter(const schema::Schema& schema);

  // Records the length of `field` in `doc`; documents skipped since the last
  // record keep id 0. Fields without norms are ignored. Recording a document
  // at or before the last one recorded for the field is a contract violation
  // ("Cannot register a given fieldnorm twice").
  void record(uint32_t doc, schema::Field field, uint32_t length);
  // Pads every buffer with id 0 up to max_doc bytes.
  void pad_to_doc_count(uint32_t max_doc);
  // The ids recorded so far for a field (absent without norms).
  const std::vector<uint8_t>* buffer(schema::Field field) const;
  // Writes each buffer as the sub-file of its field, in field order, then
  // closes the composite file.
  IoResult<void> serialize(CompositeWrite writer) const;

 private:
  std::vector<std::optional<std::vector<uint8_t>>> buffers_;
};

}  // namespace fendral::fieldnorm
