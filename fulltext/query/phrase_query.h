// Phrase queries: documents holding the terms at the given relative offsets,
// exactly (slop 0) or with at most `slop` moves in total. Scored by BM25 with
// the number of phrase occurrences as term frequency and the summed idf of
// the terms. Accumulated slops are 32-bit, so no slop wraps around.
//
//   PhraseQuery q({{0, big}, {1, cat}}, /*slop=*/2);
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "fulltext/fieldnorm/fieldnorm_reader.h"
#include "fulltext/postings/segment_postings.h"
#include "fulltext/query/weight.h"
#include "fulltext/schema/term.h"

namespace fendral::query {

class PhraseQuery final : public Query {
 public:
  using Terms = std::vector<std::pair<uint32_t, schema::Term>>;
  // Contract: at least two terms, all of one field. Sorted by offset (stable).
  PhraseQuery(Terms terms, uint32_t slop);
  // SchemaError when the field is not indexed or has no positions.
  Result<std::unique_ptr<Weight>> weight(const ScoringMode& mode) const override;
  const Terms& terms() const { return terms_; }
  uint32_t slop() const { return slop_; }

 private:
  Terms terms_;
  uint32_t slop_;
};

// Shared by the phrase and phrase-prefix weights.
// SchemaError unless the terms' field is a text or JSON field with positions;
// with scoring, the BM25 weight of the terms (summed idf).
Result<std::optional<Bm25Weight>> phrase_similarity(const ScoringMode& mode, const PhraseQuery::Terms& terms);

struct PhrasePostings {
  fieldnorm::FieldNormReader norms;  // constant id 1 without scoring or norms
  std::vector<postings::SegmentPostings> postings;  // with positions, in term order
};
// None when a term is absent from the segment.
Result<std::optional<PhrasePostings>> open_phrase_postings(const index::SegmentReader& reader,
                                                           const PhraseQuery::Terms& terms, bool scoring);

// The number of values present in both ascending lists; with `keep`, p is
// reduced to them.
uint32_t intersection_count(std::vector<uint32_t>& p, const std::vector<uint32_t>& q, bool keep);

class PhraseScorer;
// The scorer of `terms` over their opened postings, the similarity boosted;
// it stands on its first match.
Result<std::unique_ptr<PhraseScorer>> build_phrase_scorer(PhrasePostings parts, const PhraseQuery::Terms& terms,
                                                          const std::optional<Bm25Weight>& similarity, float boost,
                                                          uint32_t slop, uint32_t max_doc);

class PhraseScorer final : public Scorer {
 public:
  struct Member {
    postings::SegmentPostings postings;
    uint32_t offset;  // added to every position so that the phrase lines up
  };
  // Builds the scorer on its first match. `max_doc` bounds the norms read.
  PhraseScorer(std::vector<Member> members, std::optional<Bm25Weight> similarity, fieldnorm::FieldNormReader norms,
               uint32_t slop, uint32_t max_doc);

  uint32_t advance() override;
  uint32_t doc() const override { return members_.front().postings.doc(); }
  uint32_t seek(uint32_t target) override;
  uint32_t size_hint() const override;
  uint64_t cost() const override { return uint64_t{size_estimate()} * 10 * members_.size(); }
  float score() override;
  // Slop 0, standing on a match: the positions of the phrase's occurrences,
  // each given as the position of its last term.
  void matched_positions(std::vector<uint32_t>& out) const;
  // The first damage met in a member's postings or positions.
  const std::optional<FendralError>& error() const { return error_; }

 private:
  uint32_t align(uint32_t candidate);
  uint32_t next_common(uint32_t target);
  bool phrase_match();
  void read_positions(size_t member, std::vector<uint32_t>& out);
  uint32_t sloppy_merge(bool keep);
  uint32_t size_estimate() const;

  std::vector<Member> members_;  // ascending doc frequency
  std::optional<Bm25Weight> similarity_;
  fieldnorm::FieldNormReader norms_;
  uint32_t slop_;
  uint32_t max_doc_;
  uint32_t phrase_count_ = 0;
  std::vector<uint32_t> left_, right_, merged_;
  std::vector<uint32_t> left_slops_, merged_slops_;
  std::optional<FendralError> error_;
};

}  // namespace fendral::query
