// The phrase-prefix query: a phrase whose last word is only given by its
// beginning ("big bad wo" matches "big bad wolf" and "big bad woman"). Per
// segment the prefix expands through the term dictionary into at most
// `max_expansions` terms, the first ones in key order; a document matches
// where the phrase occurs and one of those terms stands right after it.
//
//   PhrasePrefixQuery q({{0, big}, {1, bad}, {2, wo}});
//
// Without phrase terms (the prefix alone) it is a prefix query: a term range
// of at most `max_expansions` terms, needing no positions. With one phrase
// term the prefix's completion must stand at the query's offset from it and
// every match scores 1.0; with two or more, the completion follows the last
// phrase term directly and a match scores as the phrase would (BM25 over the
// phrase terms, with the phrase's own occurrence count).
#pragma once

#include <memory>
#include <optional>
#include <variant>
#include <vector>

#include "fulltext/query/phrase_query.h"

namespace fendral::query {

class PhrasePrefixQuery final : public Query {
 public:
  static constexpr uint32_t kDefaultMaxExpansions = 50;
  // Contract: at least one term, all of one field. Sorted by offset
  // (stable); the last term is the prefix.
  explicit PhrasePrefixQuery(PhraseQuery::Terms terms, uint32_t max_expansions = kDefaultMaxExpansions);

  // SchemaError when there are phrase terms and the field is not a text or
  // JSON field with positions.
  Result<std::unique_ptr<Weight>> weight(const ScoringMode& mode) const override;
  const PhraseQuery::Terms& phrase_terms() const { return phrase_terms_; }
  const std::pair<uint32_t, schema::Term>& prefix() const { return prefix_; }
  uint32_t max_expansions() const { return max_expansions_; }

 private:
  PhraseQuery::Terms phrase_terms_;
  std::pair<uint32_t, schema::Term> prefix_;
  uint32_t max_expansions_;
};

class PhrasePrefixScorer final : public Scorer {
 public:
  // One phrase term: its postings and the distance from it to the prefix.
  struct Single {
    postings::SegmentPostings postings;
    uint32_t position_offset;
  };
  PhrasePrefixScorer(std::variant<Single, std::unique_ptr<PhraseScorer>> phrase,
                     std::vector<postings::SegmentPostings> suffixes);

  uint32_t advance() override;
  uint32_t doc() const override;
  uint32_t seek(uint32_t target) override;
  uint32_t size_hint() const override;
  float score() override;
  // Coincidences of phrase and completion in the current doc.
  uint32_t phrase_count() const { return phrase_count_; }
  const std::optional<FendralError>& error() const { return error_; }

 private:
  uint32_t move_phrase(uint32_t target);  // seek of the phrase part
  bool matches_prefix();
  void note(const Result<void>& r);

  std::variant<Single, std::unique_ptr<PhraseScorer>> phrase_;
  std::vector<postings::SegmentPostings> suffixes_;
  std::vector<uint32_t> phrase_positions_;
  std::vector<uint32_t> suffix_positions_;
  uint32_t phrase_count_ = 0;
  std::optional<FendralError> error_;
};

}  // namespace fendral::query
