#include "fulltext/core/top_docs.h"

#include <fmt/format.h>

#include <limits>

namespace fendral::core {

namespace {
constexpr float kLowest = std::numeric_limits<float>::lowest();
}

Result<std::vector<ScoredDoc>> TopDocs::collect_segment(const query::Weight& weight, uint32_t segment_ord,
                                                        const index::SegmentReader& reader) const {
  TopNComputer<uint32_t> top(limit_);
  const ReadOnlyBitSet* alive = reader.alive_bitset();
  const uint32_t max_doc = reader.max_doc();
  std::optional<uint32_t> bad_doc;
  float local = kLowest;
  if (alive) top.set_threshold(kLowest);
  auto callback = [&](uint32_t doc, float score) -> float {
    if (doc >= max_doc) {
      // Damaged postings: stop the weight (nothing beats +inf) and report.
      if (!bad_doc) bad_doc = doc;
      local = std::numeric_limits<float>::infinity();
      return local;
    }
    if (alive && !alive->contains(doc)) return local;
    top.push(score, doc);
    local = top.threshold().value_or(kLowest);
    return local;
  };
  auto r = weight.for_each_pruning(kLowest, reader, callback);
  if (!r) return fail(r.error());
  if (bad_doc) {
    return fail(FendralError::data_corruption(
        std::nullopt, fmt::format("Postings name doc {} in a segment of {} documents", *bad_doc, max_doc)));
  }
  auto entries = std::move(top).into_vec();
  std::vector<ScoredDoc> hits;
  hits.reserve(entries.size());
  for (const auto& e : entries) hits.push_back({e.score, {segment_ord, e.doc}});
  return hits;
}

std::vector<ScoredDoc> TopDocs::merge_results(std::vector<std::vector<ScoredDoc>> per_segment) const {
  if (limit_ == 0) return {};
  TopNComputer<DocAddress> top(limit_);
  for (auto& list : per_segment) {
    // A segment's list comes unordered; pushed in ranking order, a hit that
    // ties the threshold always ranks after the hit that set it, so dropping
    // it loses nothing.
    std::sort(list.begin(), list.end(), [](const ScoredDoc& a, const ScoredDoc& b) { return ranks_before(a, b); });
    for (const auto& hit : list) top.push(hit.score, hit.address);
  }
  auto entries = std::move(top).into_sorted_vec();
  std::vector<ScoredDoc> hits;
  hits.reserve(entries.size());
  for (const auto& e : entries) hits.push_back({e.score, e.doc});
  return hits;
}

}  // namespace fendral::core
