#include "fulltext/fieldnorm/fieldnorms_writer.h"

#include "fulltext/fieldnorm/fieldnorm_code.h"

namespace fendral::fieldnorm {

FieldNormsWriter::FieldNormsWriter(const schema::Schema& schema) {
  for (const auto& entry : schema.fields()) {
    if (entry.is_indexed() && entry.has_fieldnorms()) {
      buffers_.emplace_back(std::vector<uint8_t>());
      buffers_.back()->reserve(1000);
    } else {
      buffers_.emplace_back(std::nullopt);
    }
  }
}

void FieldNormsWriter::record(uint32_t doc, schema::Field field, uint32_t length) {
  if (field >= buffers_.size() || !buffers_[field]) return;
  auto& buf = *buffers_[field];
  if (buf.size() > doc) contract_violation("Cannot register a given fieldnorm twice");
  buf.resize(doc, 0);
  buf.push_back(id_of_length(length));
}

void FieldNormsWriter::pad_to_doc_count(uint32_t max_doc) {
  for (auto& b : buffers_) {
    if (b && b->size() < max_doc) b->resize(max_doc, 0);
  }
}

const std::vector<uint8_t>* FieldNormsWriter::buffer(schema::Field field) const {
  if (field >= buffers_.size() || !buffers_[field]) return nullptr;
  return &*buffers_[field];
}

IoResult<void> FieldNormsWriter::serialize(CompositeWrite writer) const {
  for (schema::Field f = 0; f < buffers_.size(); ++f) {
    if (!buffers_[f]) continue;
    auto w = writer.for_field(f).write_all(std::span<const uint8_t>(*buffers_[f]));
    if (!w) return w;
  }
  return writer.close();
}

}  // namespace fendral::fieldnorm
