// Merge policies: which segments to merge. The segment updater asks its
// policy once for the mergeable uncommitted segments and once for the
// committed ones, and starts one merge per proposal.
//
// LogMergePolicy groups segments into levels on the log2 scale of their live
// document counts and proposes a level once it holds min_num_segments
// segments, or once one of its segments has a deleted share strictly above
// del_docs_ratio_before_merge.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fulltext/index/index_meta.h"

namespace fendral::indexer {

// The ids of segments to merge into one, in order.
struct MergeProposal {
  std::vector<index::SegmentId> segment_ids;
};

class MergePolicy {
 public:
  virtual ~MergePolicy() = default;
  virtual std::vector<MergeProposal> merge_candidates(const std::vector<index::SegmentMeta>& segments) const = 0;
  virtual std::string debug() const = 0;
};

class LogMergePolicy final : public MergePolicy {
 public:
  size_t min_num_segments = 8;
  size_t max_docs_before_merge = 10'000'000;
  double level_log_size = 0.75;
  uint32_t min_layer_size = 10'000;
  float del_docs_ratio_before_merge = 1.0f;

  std::vector<MergeProposal> merge_candidates(const std::vector<index::SegmentMeta>& segments) const override;
  std::string debug() const override;
};

// Never proposes a merge.
class NoMergePolicy final : public MergePolicy {
 public:
  std::vector<MergeProposal> merge_candidates(const std::vector<index::SegmentMeta>&) const override { return {}; }
  std::string debug() const override { return "NoMergePolicy"; }
};

}  // namespace fendral::indexer
