#include "fulltext/indexer/merge_policy.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <fmt/format.h>

namespace fendral::indexer {
namespace {

uint32_t live_docs(const index::SegmentMeta& m) { return m.max_doc() - m.num_deleted_docs(); }

float deleted_share(const index::SegmentMeta& m) {
  if (m.max_doc() == 0) return 0.0f;
  return static_cast<float>(m.num_deleted_docs()) / static_cast<float>(m.max_doc());
}

}  // namespace

std::vector<MergeProposal> LogMergePolicy::merge_candidates(const std::vector<index::SegmentMeta>& segments) const {
  std::vector<index::SegmentMeta> kept;
  for (const auto& m : segments) {
    if (live_docs(m) <= max_docs_before_merge) kept.push_back(m);
  }
  if (kept.empty()) return {};
  std::stable_sort(kept.begin(), kept.end(),
                   [](const index::SegmentMeta& a, const index::SegmentMeta& b) { return a.max_doc() > b.max_doc(); });

  // Levels: runs of consecutive segments sharing one key; a key never rises.
  std::vector<std::vector<const index::SegmentMeta*>> levels;
  double current = std::numeric_limits<double>::max();
  for (const auto& m : kept) {
    double size = std::log2(static_cast<double>(std::max(live_docs(m), min_layer_size)));
    if (levels.empty() || size < current - level_log_size) {
      current = size;
      levels.emplace_back();
    }
    levels.back().push_back(&m);
  }

  std::vector<MergeProposal> out;
  for (const auto& level : levels) {
    bool too_deleted = std::any_of(level.begin(), level.end(), [&](const index::SegmentMeta* m) {
      return deleted_share(*m) > del_docs_ratio_before_merge;
    });
    if (level.size() < min_num_segments && !too_deleted) continue;
    MergeProposal p;
    for (const auto* m : level) p.segment_ids.push_back(m->id());
    out.push_back(std::move(p));
  }
  return out;
}

std::string LogMergePolicy::debug() const {
  return fmt::format(
      "LogMergePolicy {{ min_num_segments: {}, max_docs_before_merge: {}, min_layer_size: {}, level_log_size: {}, "
      "del_docs_ratio_before_merge: {} }}",
      min_num_segments, max_docs_before_merge, min_layer_size, level_log_size, del_docs_ratio_before_merge);
}

}  // namespace fendral::indexer
