#include "fulltext/query/weight.h"

#include <array>

#include "fulltext/query/term_query.h"

namespace fendral::query {

Result<uint32_t> Weight::count(const index::SegmentReader& reader) const {
  auto s = scorer(reader, 1.0f);
  if (!s) return fail(s.error());
  if (const auto* alive = reader.alive_bitset()) return (*s)->count(*alive);
  return (*s)->count_including_deleted();
}

Result<void> Weight::for_each(const index::SegmentReader& reader,
                              const std::function<void(uint32_t, float)>& callback) const {
  auto s = scorer(reader, 1.0f);
  if (!s) return fail(s.error());
  for (uint32_t d = (*s)->doc(); d != TERMINATED; d = (*s)->advance()) callback(d, (*s)->score());
  return {};
}

Result<void> Weight::for_each_no_score(const index::SegmentReader& reader,
                                       const std::function<void(std::span<const uint32_t>)>& callback) const {
  auto s = scorer(reader, 1.0f);
  if (!s) return fail(s.error());
  std::array<uint32_t, 64> buffer;
  for (;;) {
    size_t n = (*s)->fill_buffer(buffer);
    callback(std::span<const uint32_t>(buffer.data(), n));
    if (n < buffer.size()) return {};
  }
}

Result<void> for_each_scored_above(Scorer& scorer, float threshold, const PruningCallback& callback) {
  for (uint32_t d = scorer.doc(); d != TERMINATED; d = scorer.advance()) {
    float s = scorer.score();
    if (s > threshold) threshold = callback(d, s);
  }
  if (auto* t = dynamic_cast<TermScorer*>(&scorer); t && t->error()) return fail(*t->error());
  return {};
}

Result<void> Weight::for_each_pruning(float threshold, const index::SegmentReader& reader,
                                      const PruningCallback& callback) const {
  auto s = scorer(reader, 1.0f);
  if (!s) return fail(s.error());
  return for_each_scored_above(**s, threshold, callback);
}

}  // namespace fendral::query
