// Combinators of the boolean query besides the unions: the intersection of
// MUST clauses, the exclusion of MUST_NOT clauses, and required-plus-optional
// (MUST with SHOULD). Each owns its members and moves only forward.
#pragma once

#include <memory>
#include <vector>

#include "fulltext/query/doc_set.h"
#include "fulltext/query/score_combiner.h"

namespace fendral::query {

// The documents every scorer holds, scored by the sum of their scores
// (in the order of ascending cost, the cheapest first). An empty list gives
// an EmptyScorer, one scorer is returned unchanged.
std::unique_ptr<Scorer> intersect_scorers(std::vector<std::unique_ptr<Scorer>> scorers, uint32_t num_docs);

class Intersection final : public Scorer {
 public:
  // Contract: at least two members, sorted by cost and aligned on `doc`.
  Intersection(std::vector<std::unique_ptr<Scorer>> members, uint32_t num_docs)
      : members_(std::move(members)), num_docs_(num_docs) {}
  uint32_t advance() override;
  uint32_t doc() const override { return members_.front()->doc(); }
  uint32_t seek(uint32_t target) override;
  // The product of the members' densities with a co-location factor,
  // capped by the smallest member.
  uint32_t size_hint() const override;
  uint64_t cost() const override { return members_.front()->cost(); }
  float score() override;

 private:
  std::vector<std::unique_ptr<Scorer>> members_;  // [0] drives
  uint32_t num_docs_;
};

// Runs the members to a common doc at or after their current ones.
uint32_t align(std::span<const std::unique_ptr<Scorer>> members);

// The documents of `underlying` that none of `excluded` holds.
class Exclude final : public Scorer {
 public:
  Exclude(std::unique_ptr<Scorer> underlying, std::vector<std::unique_ptr<Scorer>> excluded);
  uint32_t advance() override;
  uint32_t doc() const override { return underlying_->doc(); }
  uint32_t seek(uint32_t target) override;
  uint32_t size_hint() const override { return underlying_->size_hint(); }
  uint64_t cost() const override { return underlying_->size_hint(); }
  float score() override { return underlying_->score(); }

 private:
  bool is_excluded(uint32_t d);
  uint32_t skip_excluded(uint32_t d);
  std::unique_ptr<Scorer> underlying_;
  std::vector<std::unique_ptr<Scorer>> excluded_;
};

// The documents of `required`; the score adds the optional scorer's where it
// holds the document too.
class RequiredOptionalScorer final : public Scorer {
 public:
  RequiredOptionalScorer(std::unique_ptr<Scorer> required, std::unique_ptr<Scorer> optional, ScoreCombiner combiner)
      : required_(std::move(required)), optional_(std::move(optional)), combiner_(combiner) {}
  uint32_t advance() override {
    cached_ = false;
    return required_->advance();
  }
  uint32_t doc() const override { return required_->doc(); }
  uint32_t seek(uint32_t target) override {
    cached_ = false;
    return required_->seek(target);
  }
  bool seek_exact(uint32_t target) override {
    cached_ = false;
    return required_->seek_exact(target);
  }
  uint32_t size_hint() const override { return required_->size_hint(); }
  uint64_t cost() const override { return required_->cost(); }
  float score() override;

 private:
  std::unique_ptr<Scorer> required_;
  std::unique_ptr<Scorer> optional_;
  ScoreCombiner combiner_;
  bool cached_ = false;
  float score_ = 0.0f;
};

}  // namespace fendral::query
