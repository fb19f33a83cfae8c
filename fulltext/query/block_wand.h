// Block-WAND: top-k collection over a disjunction of term scorers without
// scoring every document of the union.
//
// The scorers are kept sorted by their current docs. A pivot doc is the first
// doc at which the summed whole-term bounds (TermScorer::max_score) could
// beat the threshold; the bounds of the blocks holding the pivot then decide
// whether the pivot is scored or whole blocks are passed over. Only docs that
// pass both tests are scored.
//
//   block_wand(scorers, lowest_f32, [&](uint32_t doc, float score) {
//     keep(doc, score);
//     return new_threshold;  // only rises
//   });
//
// A doc's score is the f32 sum of its terms' scores in the order of
// `scorers` (the clause order), the same sum a BufferedUnionScorer gives, so
// pruned and exhaustive top-k agree bit for bit.
//
// Contract: every scorer decodes term frequencies and has max_score() >= 0
// (BooleanWeight checks both); the scorers are left exhausted or wherever
// the pruning stopped.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "fulltext/query/term_query.h"
#include "fulltext/query/weight.h"

namespace fendral::query {

void block_wand(std::vector<std::unique_ptr<TermScorer>>& scorers, float threshold, const PruningCallback& callback);

// Whether a sum of `terms` score bounds leaves room for a score strictly
// above the threshold. The bounds and the scores are summed in different
// orders, so a bound within a few ulps per term below the threshold still
// counts: a pruning step may score a doc needlessly, never skip a winner.
inline bool bound_may_beat(float bound, float threshold, size_t terms) {
  if (bound > threshold) return true;
  if (!(threshold > 0.0f)) return false;
  return static_cast<double>(bound) > static_cast<double>(threshold) * (1.0 - 8.0 * static_cast<double>(terms) * 0x1p-24);
}

}  // namespace fendral::query
