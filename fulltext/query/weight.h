// Queries and weights. A Query is the caller's description; weight() turns
// it into a Weight for one scoring mode (statistics read once, from the
// searcher); a Weight builds one Scorer per segment.
//
//   auto w = query.weight(ScoringMode::enabled(searcher));
//   auto s = w->scorer(segment, 1.0f);
//   for (uint32_t d = s->doc(); d != TERMINATED; d = s->advance()) use(d, s->score());
#pragma once

#include <functional>
#include <memory>
#include <span>

#include "fulltext/error/error.h"
#include "fulltext/index/segment_reader.h"
#include "fulltext/query/bm25.h"
#include "fulltext/query/doc_set.h"

namespace fendral::query {

// Enabled: statistics from `stats`. Disabled: weights read no statistics and
// every document scores 1.0.
struct ScoringMode {
  const schema::Schema* schema = nullptr;
  const Bm25StatisticsProvider* stats = nullptr;

  static ScoringMode enabled(const schema::Schema& s, const Bm25StatisticsProvider& p) { return {&s, &p}; }
  static ScoringMode disabled(const schema::Schema& s) { return {&s, nullptr}; }
  bool is_scoring_enabled() const { return stats != nullptr; }
};

// Top-k collection: gets (doc, score) of a doc whose score is strictly above
// the threshold in force and returns the new threshold (which only rises).
using PruningCallback = std::function<float(uint32_t, float)>;

class Weight {
 public:
  virtual ~Weight() = default;
  virtual Result<std::unique_ptr<Scorer>> scorer(const index::SegmentReader& reader, float boost) const = 0;

  // Alive matching docs (all matching docs when the segment has no deletes).
  virtual Result<uint32_t> count(const index::SegmentReader& reader) const;
  // callback(doc, score) for every matching doc, deleted ones included.
  virtual Result<void> for_each(const index::SegmentReader& reader,
                                const std::function<void(uint32_t, float)>& callback) const;
  // Buffers of at most 64 increasing doc ids; a last buffer of fewer (possibly
  // none) ends the run. Deleted docs are included.
  virtual Result<void> for_each_no_score(const index::SegmentReader& reader,
                                         const std::function<void(std::span<const uint32_t>)>& callback) const;
  // callback(doc, score), in increasing doc order, for matching docs (deleted
  // ones included) whose score is strictly above the threshold in force. A
  // weight may pass over docs that its bounds show cannot beat it.
  virtual Result<void> for_each_pruning(float threshold, const index::SegmentReader& reader,
                                        const PruningCallback& callback) const;
};

// The pruning loop without bounds: every doc of the scorer is scored.
Result<void> for_each_scored_above(Scorer& scorer, float threshold, const PruningCallback& callback);

class Query {
 public:
  virtual ~Query() = default;
  virtual Result<std::unique_ptr<Weight>> weight(const ScoringMode& mode) const = 0;
};

}  // namespace fendral::query
