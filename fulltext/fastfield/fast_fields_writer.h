// The fast-field half of a segment writer: turns every value of every fast
// field of a document into recordings on the segment's ColumnarWriter.
//
// Columns: an ordinary fast field writes to the column named by the field;
// a JSON field writes one column per path (the field name, then 0x01 and
// each object key; with expand-dots, '.' inside a key also separates) and
// value family. Values nested 20 or more levels below a JSON field's
// top-level object are left out, and so are facets, bytes, IP addresses and
// pre-tokenized texts inside JSON fields. Dates of date fields are truncated
// toward zero to the field's precision; dates inside JSON are kept whole.
//
//   auto w = FastFieldsWriter::from_schema(schema, tokenizers);
//   for each doc: w->add_document(doc_id, doc);
//   w->serialize(max_doc, out);
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "fulltext/columnar/writer/columnar_writer.h"
#include "fulltext/common/json_path_writer.h"
#include "fulltext/schema/document/compact_doc.h"
#include "fulltext/schema/document/owned_value.h"
#include "fulltext/schema/schema.h"
#include "fulltext/tokenizer/tokenizer_manager.h"

namespace fendral::fastfield {

constexpr int kJsonDepthBudget = 20;

class FastFieldsWriter {
 public:
  // Fails with InvalidArgument "Tokenizer \"name\" not found" when a fast
  // option names a tokenizer the registry lacks.
  static Result<FastFieldsWriter> from_schema(const schema::Schema& schema,
                                              const tokenizer::TokenizerManager& tokenizers);

  // Records one value of one field of document `doc`.
  Result<void> add_doc_value(uint32_t doc, schema::Field field, const schema::OwnedValue& value);
  // add_doc_value for every entry of the document, in order.
  Result<void> add_document(uint32_t doc, const schema::CompactDoc& document);

  IoResult<void> serialize(uint32_t num_docs, Write& out) { return columnar_.serialize(num_docs, out); }
  size_t mem_usage() const { return columnar_.mem_usage(); }
  columnar::ColumnarWriter& columnar_writer() { return columnar_; }

 private:
  struct FieldInfo {
    std::optional<std::string> column;  // set for fast fields
    std::optional<tokenizer::TextAnalyzer> tokenizer;
    uint8_t date_precision = 0;
    bool expand_dots = false;
  };

  // Texts, numbers and booleans are recorded alike in fields and in JSON.
  template <class V>
  static constexpr bool is_common_leaf = std::is_same_v<V, std::string> || std::is_same_v<V, uint64_t> ||
                                         std::is_same_v<V, int64_t> || std::is_same_v<V, double> ||
                                         std::is_same_v<V, bool>;
  template <class V>
  Result<void> record_leaf(uint32_t doc, columnar::Name column, const V& v, FieldInfo& info);
  Result<void> record_text(uint32_t doc, columnar::Name column, const std::string& text, FieldInfo& info);
  Result<void> record_json(uint32_t doc, const schema::OwnedValue& value, FieldInfo& info, int budget);

  columnar::ColumnarWriter columnar_;
  std::vector<FieldInfo> fields_;
  std::vector<schema::FieldTypeTag> tags_;
  JsonPathWriter path_;
};

}  // namespace fendral::fastfield
