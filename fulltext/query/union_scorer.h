// Unions of SHOULD clauses.
//
// BufferedUnionScorer: at least one of n scorers. It works through windows of
// 4096 documents: each member in turn marks its documents of the window in a
// bitset and adds its score into a per-document accumulator, then the window
// is read out in document order. A document's score is the f32 sum of its
// members' scores in the order the members were given (exhausted members
// leave the list without reordering it), the order block-WAND sums in too.
//
// HeapUnionScorer: at least k of n scorers (k >= 2), from a min-heap of the
// members' current documents; every member on an emitted document adds its
// score, in pop order.
#pragma once

#include <array>
#include <memory>
#include <vector>

#include "fulltext/query/doc_set.h"
#include "fulltext/query/score_combiner.h"

namespace fendral::query {

class BufferedUnionScorer final : public Scorer {
 public:
  static constexpr uint32_t kWindow = 4096;

  BufferedUnionScorer(std::vector<std::unique_ptr<Scorer>> members, ScoreCombiner combiner, uint32_t num_docs);
  uint32_t advance() override;
  uint32_t doc() const override { return doc_; }
  uint32_t seek(uint32_t target) override;
  // 1 - prod(1 - 0.8 h_i / N), scaled by N.
  uint32_t size_hint() const override;
  uint64_t cost() const override;
  float score() override { return score_; }

 private:
  bool refill();
  std::vector<std::unique_ptr<Scorer>> members_;
  ScoreCombiner combiner_;
  std::array<uint64_t, kWindow / 64> bits_{};
  std::vector<float> scores_;  // kWindow accumulators, summing only
  uint32_t cursor_ = kWindow / 64;
  uint32_t window_start_ = 0;
  uint32_t doc_ = 0;
  float score_ = 0.0f;
  uint32_t num_docs_;
};

class HeapUnionScorer final : public Scorer {
 public:
  // Contract: minimum_matches >= 2.
  HeapUnionScorer(std::vector<std::unique_ptr<Scorer>> members, uint32_t minimum_matches, ScoreCombiner combiner);
  uint32_t advance() override;
  uint32_t doc() const override { return doc_; }
  uint32_t size_hint() const override;
  uint64_t cost() const override;
  float score() override { return score_; }

 private:
  struct Entry {
    std::unique_ptr<Scorer> scorer;
    uint32_t doc;
  };
  std::vector<Entry> heap_;
  uint32_t minimum_matches_;
  ScoreCombiner combiner_;
  uint32_t doc_ = TERMINATED;
  float score_ = 0.0f;
};

}  // namespace fendral::query
