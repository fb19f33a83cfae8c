#include "fulltext/fieldnorm/fieldnorm_reader.h"

namespace fendral::fieldnorm {

FieldNormReader FieldNormReader::constant(uint32_t num_docs, uint32_t length) {
  return FieldNormReader(num_docs, id_of_length(length));
}

Result<FieldNormReaders> FieldNormReaders::open(const FileSlice& file) {
  auto composite = CompositeFile::open(file);
  if (!composite) return fail(composite.error());
  return FieldNormReaders(std::move(*composite));
}

Result<std::optional<FieldNormReader>> FieldNormReaders::get_field(schema::Field field) const {
  auto slice = file_.open_read(field);
  if (!slice) return std::optional<FieldNormReader>();
  auto bytes = slice->read_all();
  if (!bytes) return fail(bytes.error());
  return std::optional<FieldNormReader>(FieldNormReader::from_bytes(std::move(*bytes)));
}

}  // namespace fendral::fieldnorm
