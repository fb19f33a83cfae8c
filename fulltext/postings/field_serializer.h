// Writes the inverted index of one field of one segment: the postings of
// every term into the field's ".idx" section, positions into its ".pos"
// section, and the term dictionary into its ".term" section (formats in
// postings_format.h and termdict/).
//
// Usage, terms in strictly increasing byte order:
//   auto fs = FieldSerializer::create(token_count, norms, option, term_w, idx_w, pos_w);
//   fs->new_term(key, doc_count, /*wants_freqs=*/true);
//   fs->write_doc(doc, tf, position_deltas);   // docs strictly increasing
//   fs->close_term();
//   ...
//   fs->close();
// A term's bytes reach the section writers only at close_term; close flushes
// the sections and finishes the dictionary (FST, term-info store, trailer
// and the dictionary kind word).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "fulltext/common/io.h"
#include "fulltext/error/error.h"
#include "fulltext/fieldnorm/fieldnorm_reader.h"
#include "fulltext/postings/postings_format.h"
#include "fulltext/termdict/term_dictionary.h"

namespace fendral::postings {

class PostingsSerializer;
class PositionsWriter;

class FieldSerializer {
 public:
  // Writes token_count as u64 at the start of the postings section and starts
  // the dictionary. `fieldnorms` is the field's reader in the new segment
  // (none: no field norms). The writers must outlive the serializer.
  static Result<std::unique_ptr<FieldSerializer>> create(uint64_t token_count,
                                                         std::optional<fieldnorm::FieldNormReader> fieldnorms,
                                                         RecordOption option, Write& terms, Write& postings,
                                                         Write& positions);
  ~FieldSerializer();

  // Starts a term. expected_docs is the number of documents the caller will
  // write (a hint); wants_freqs asks for term frequencies, which are recorded
  // when the field's option is not Basic. A key not above the previous one
  // fails with an I/O error (kind Other) carrying the FST builder's text.
  // Contract: no term open ("Called new_term, while the previous term was not
  // closed.").
  Result<void> new_term(std::span<const uint8_t> term, uint32_t expected_docs, bool wants_freqs);
  // Adds a document to the open term. Contract: docs strictly increasing and
  // below TERMINATED; with positions, exactly term_freq deltas.
  void write_doc(uint32_t doc, uint32_t term_freq, std::span<const uint32_t> position_deltas);
  // Ends the open term and writes its bytes; nothing when none is open.
  Result<void> close_term();
  // Closes the open term, flushes the sections and finishes the dictionary.
  Result<void> close();

 private:
  FieldSerializer() = default;
  std::unique_ptr<termdict::TermDictionaryBuilder> dict_;
  std::unique_ptr<PostingsSerializer> postings_;
  std::unique_ptr<PositionsWriter> positions_;
  std::unique_ptr<CountingWriter> postings_out_;
  std::unique_ptr<CountingWriter> positions_out_;
  Write* terms_out_ = nullptr;
  uint64_t base_offset_ = 0;
  termdict::TermInfo current_;
  bool term_open_ = false;
};

}  // namespace fendral::postings
