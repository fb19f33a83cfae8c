#include "fulltext/postings/field_serializer.h"

#include <cstring>

#include "fulltext/postings/postings_serializer.h"

namespace fendral::postings {

FieldSerializer::~FieldSerializer() = default;

Result<std::unique_ptr<FieldSerializer>> FieldSerializer::create(uint64_t token_count,
                                                                 std::optional<fieldnorm::FieldNormReader> fieldnorms,
                                                                 RecordOption option, Write& terms, Write& postings,
                                                                 Write& positions) {
  std::unique_ptr<FieldSerializer> fs(new FieldSerializer());
  fs->postings_out_ = std::make_unique<CountingWriter>(&postings);
  fs->positions_out_ = std::make_unique<CountingWriter>(&positions);
  fs->terms_out_ = &terms;
  uint8_t header[8];
  std::memcpy(header, &token_count, 8);
  auto w = fs->postings_out_->write_all(std::span<const uint8_t>(header, 8));
  if (!w) return fail(w.error());
  fs->base_offset_ = fs->postings_out_->written_bytes();
  auto dict = termdict::TermDictionaryBuilder::create(&terms);
  if (!dict) return fail(dict.error());
  fs->dict_ = std::make_unique<termdict::TermDictionaryBuilder>(std::move(*dict));
  fs->postings_ = std::make_unique<PostingsSerializer>(std::move(fieldnorms), option);
  if (option == RecordOption::WithFreqsAndPositions) fs->positions_ = std::make_unique<PositionsWriter>();
  return fs;
}

Result<void> FieldSerializer::new_term(std::span<const uint8_t> term, uint32_t /*expected_docs*/, bool wants_freqs) {
  if (term_open_) contract_violation("Called new_term, while the previous term was not closed.");
  term_open_ = true;
  postings_->new_term(wants_freqs);
  current_ = termdict::TermInfo{};
  current_.postings_range.start = current_.postings_range.end = postings_out_->written_bytes() - base_offset_;
  current_.positions_range.start = current_.positions_range.end = positions_ ? positions_out_->written_bytes() : 0;
  auto inserted = dict_->insert_key(term);
  if (!inserted) return fail(IoError(IoErrorKind::Other, inserted.error().display()));
  return {};
}

void FieldSerializer::write_doc(uint32_t doc, uint32_t term_freq, std::span<const uint32_t> position_deltas) {
  ++current_.doc_freq;
  postings_->write_doc(doc, term_freq);
  if (positions_) {
    if (position_deltas.size() != term_freq) {
      contract_violation("assertion failed: term_freq == position_deltas.len()");
    }
    positions_->append_deltas(position_deltas);
  }
}

Result<void> FieldSerializer::close_term() {
  if (!term_open_) return {};
  auto r = postings_->close_term(current_.doc_freq, *postings_out_);
  if (!r) return fail(r.error());
  current_.postings_range.end = postings_out_->written_bytes() - base_offset_;
  if (positions_) {
    auto n = positions_->close_term(*positions_out_);
    if (!n) return fail(n.error());
    current_.positions_range.end = positions_out_->written_bytes();
  }
  dict_->insert_value(current_);
  term_open_ = false;
  return {};
}

Result<void> FieldSerializer::close() {
  auto r = close_term();
  if (!r) return r;
  if (positions_) {
    auto f = positions_out_->flush();
    if (!f) return fail(f.error());
  }
  auto f = postings_out_->flush();
  if (!f) return fail(f.error());
  auto d = dict_->finish();
  if (!d) return fail(d.error());
  uint8_t kind[4];
  uint32_t k = termdict::kDictionaryKindFst;
  std::memcpy(kind, &k, 4);
  auto w = terms_out_->write_all(std::span<const uint8_t>(kind, 4));
  if (!w) return fail(w.error());
  return {};
}

}  // namespace fendral::postings
