// The term query: the documents whose field holds one term, scored by BM25.
// Also the delete-by-term of the index writer (scoring disabled, Basic).
#pragma once

#include <memory>
#include <optional>

#include "fulltext/fieldnorm/fieldnorm_reader.h"
#include "fulltext/postings/segment_postings.h"
#include "fulltext/query/weight.h"
#include "fulltext/schema/term.h"

namespace fendral::query {

class TermScorer final : public Scorer {
 public:
  TermScorer(postings::SegmentPostings postings, fieldnorm::FieldNormReader norms, Bm25Weight similarity,
             uint32_t max_doc)
      : postings_(std::move(postings)), norms_(std::move(norms)), similarity_(std::move(similarity)),
        max_doc_(max_doc), shallow_(postings_.block_cursor().skip_reader()) {}

  uint32_t advance() override { return postings_.advance(); }
  uint32_t doc() const override { return postings_.doc(); }
  uint32_t seek(uint32_t target) override { return postings_.seek(target); }
  bool seek_exact(uint32_t target) override { return postings_.seek_exact(target); }
  size_t fill_buffer(std::span<uint32_t, 64> buffer) override { return postings_.fill_buffer(buffer); }
  uint32_t size_hint() const override { return postings_.size_hint(); }
  uint32_t count(const ReadOnlyBitSet& alive) override { return postings_.count(alive); }
  uint32_t count_including_deleted() override { return postings_.count_including_deleted(); }

  // Contract: doc() < max_doc (the searcher checks postings against it).
  float score() override;
  uint32_t term_freq() const { return postings_.term_freq(); }
  // The score bound over every document of the term (2.2 * idf * boost).
  float max_score() const { return similarity_.max_score(); }
  // Frequencies are read from the postings: the block bounds hold (block
  // pruning needs them).
  bool decodes_term_freqs() const;

  // Block bounds for top-k pruning. They come from a second walk over the
  // skip entries, so the postings themselves never move and doc(), advance()
  // and seek() keep their meaning whatever was asked here.
  //
  // Moves the bound walk to the block that may hold target (the first block
  // whose last doc is >= target). Contract: target >= doc().
  void shallow_seek(uint32_t target);
  // Last doc of that block; TERMINATED for the last block.
  uint32_t last_doc_in_block() const { return shallow_.last_doc_in_block(); }
  // No doc of that block scores above it (for a weight >= 0): the score of
  // the block's smallest fieldnorm id with its largest term frequency; for
  // the last block, max_score() until the postings decoded it, then the best
  // score of its docs.
  float block_max_score();
  // DataCorruption met in the postings (which then ended early).
  const std::optional<FendralError>& error() const { return postings_.error(); }

 private:
  postings::SegmentPostings postings_;
  fieldnorm::FieldNormReader norms_;
  Bm25Weight similarity_;
  uint32_t max_doc_;
  postings::SkipReader shallow_;
  uint32_t shallow_target_ = 0;
  std::optional<float> block_bound_;  // of the block shallow_ stands on
};

class TermWeight final : public Weight {
 public:
  TermWeight(schema::Term term, Bm25Weight similarity, bool scoring_enabled, schema::RecordOption option)
      : term_(std::move(term)), similarity_(std::move(similarity)), scoring_enabled_(scoring_enabled),
        option_(option) {}

  // The term scorer, an EmptyScorer (term absent) or, with scoring disabled
  // and every doc holding the term, an AllScorer.
  Result<std::unique_ptr<Scorer>> scorer(const index::SegmentReader& reader, float boost) const override;
  // Without deletes: the term's doc freq, no postings opened.
  Result<uint32_t> count(const index::SegmentReader& reader) const override;
  // Skips whole blocks whose bound is below the threshold.
  Result<void> for_each_pruning(float threshold, const index::SegmentReader& reader,
                                const PruningCallback& callback) const override;
  const Bm25Weight& similarity() const { return similarity_; }

 private:
  schema::Term term_;
  Bm25Weight similarity_;
  bool scoring_enabled_;
  schema::RecordOption option_;
};

class TermQuery final : public Query {
 public:
  TermQuery(schema::Term term, schema::RecordOption option) : term_(std::move(term)), option_(option) {}
  // SchemaError "Field {} is not indexed." for a field that is not indexed.
  Result<std::unique_ptr<TermWeight>> specialized_weight(const ScoringMode& mode) const;
  Result<std::unique_ptr<Weight>> weight(const ScoringMode& mode) const override;
  const schema::Term& term() const { return term_; }

 private:
  schema::Term term_;
  schema::RecordOption option_;
};

}  // namespace fendral::query
