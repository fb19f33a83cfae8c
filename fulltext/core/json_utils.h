// Indexing of the values of a JSON field. The walk keeps the current path in
// a JsonPathWriter (keys joined by 0x01; arrays add nothing) and turns every
// leaf into terms of the field's postings writer:
//
//   [u32 BE field][u32 BE unordered path id][type code][value]
//
// Text leaves are tokenized ('s' and each token, positions continuing from
// the previous text of the same path in the same document); integers,
// floats, dates and booleans give one 'i'/'u'/'f'/'d'/'o' term at position
// 0. Integral floats share the term of the equal integer (3.0 and 3).
// Nulls, keys holding 0x00 (and their subtrees) and non-finite floats give
// nothing. Facets, bytes, IP addresses and pre-tokenized texts have no JSON
// term form: meeting one fails the document with InvalidArgument
// "not implemented: ... support in dynamic fields is not yet implemented".
//
//   path_writer.clear(); positions.clear();   // once per JSON field and doc
//   for (auto& v : values) index_json_value(doc, v, analyzer, term, path_writer, writer, ctx, positions);
#pragma once

#include <cstdint>
#include <unordered_map>

#include "fulltext/common/json_path_writer.h"
#include "fulltext/postings/postings_writer.h"
#include "fulltext/schema/document/owned_value.h"
#include "fulltext/tokenizer/tokenizer_manager.h"

namespace fendral::core::json_utils {

// Unordered path id -> where the next text of that path continues.
using IndexingPositionsPerPath = std::unordered_map<uint32_t, postings::IndexingPosition>;

// Indexes one value of a JSON field. The path writer must be empty; it is
// back to empty on return. The term buffer keeps its field bytes.
Result<void> index_json_value(uint32_t doc, const schema::OwnedValue& value, tokenizer::TextAnalyzer& analyzer,
                              postings::IndexingTerm& term, JsonPathWriter& path, postings::PostingsWriter& writer,
                              postings::IndexingContext& ctx, IndexingPositionsPerPath& positions);

}  // namespace fendral::core::json_utils
