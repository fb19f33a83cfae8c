// The boolean query: sub-queries each with an Occur, and the least number of
// SHOULD clauses a document must match. Per segment its weight combines the
// clause scorers into the cheapest shape that gives the right documents:
// union, k-of-n union, intersection, required-plus-optional, exclusion.
//
//   BooleanQuery q({{Occur::Must, a}, {Occur::Should, b}, {Occur::MustNot, c}});
//
// With scoring, a document's score is the sum of its matching MUST and
// SHOULD clauses' scores; MUST_NOT clauses never score.
#pragma once

#include <memory>
#include <utility>
#include <vector>

#include "fulltext/query/occur.h"
#include "fulltext/query/score_combiner.h"
#include "fulltext/query/weight.h"

namespace fendral::query {

class TermScorer;

class BooleanQuery final : public Query {
 public:
  using Clause = std::pair<Occur, std::shared_ptr<const Query>>;
  // minimum_number_should_match: 1 when every clause is Should, else 0.
  explicit BooleanQuery(std::vector<Clause> clauses);
  BooleanQuery(std::vector<Clause> clauses, uint32_t minimum_number_should_match)
      : clauses_(std::move(clauses)), minimum_number_should_match_(minimum_number_should_match) {}

  Result<std::unique_ptr<Weight>> weight(const ScoringMode& mode) const override;
  const std::vector<Clause>& clauses() const { return clauses_; }

 private:
  std::vector<Clause> clauses_;
  uint32_t minimum_number_should_match_;
};

class BooleanWeight final : public Weight {
 public:
  using Clause = std::pair<Occur, std::unique_ptr<Weight>>;
  BooleanWeight(std::vector<Clause> clauses, uint32_t minimum_number_should_match, bool scoring_enabled,
                ScoreCombiner combiner = ScoreCombiner::Summing)
      : clauses_(std::move(clauses)), minimum_number_should_match_(minimum_number_should_match),
        scoring_enabled_(scoring_enabled), combiner_(combiner) {}

  Result<std::unique_ptr<Scorer>> scorer(const index::SegmentReader& reader, float boost) const override;
  // A pure disjunction of term scorers runs block-WAND; any other shape
  // scores every matching doc.
  Result<void> for_each_pruning(float threshold, const index::SegmentReader& reader,
                                const PruningCallback& callback) const override;

  // What combining the clause scorers gives: two or more term scorers still
  // to be united (kept apart so that top-k can prune them), or one scorer.
  struct Combined {
    std::vector<std::unique_ptr<TermScorer>> term_union;
    std::unique_ptr<Scorer> boxed;
  };

 private:
  Result<Combined> combine(const index::SegmentReader& reader, float boost, ScoreCombiner u) const;

  std::vector<Clause> clauses_;
  uint32_t minimum_number_should_match_;
  bool scoring_enabled_;
  ScoreCombiner combiner_;
};

// Scores of the inner query multiplied by a factor.
class BoostQuery final : public Query {
 public:
  BoostQuery(std::shared_ptr<const Query> inner, float boost) : inner_(std::move(inner)), boost_(boost) {}
  Result<std::unique_ptr<Weight>> weight(const ScoringMode& mode) const override;

 private:
  std::shared_ptr<const Query> inner_;
  float boost_;
};

// Every document of every segment, scoring 1.0.
class AllQuery final : public Query {
 public:
  Result<std::unique_ptr<Weight>> weight(const ScoringMode& mode) const override;
};

// No document.
class EmptyQuery final : public Query {
 public:
  Result<std::unique_ptr<Weight>> weight(const ScoringMode& mode) const override;
};

}  // namespace fendral::query
