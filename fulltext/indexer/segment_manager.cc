#include "fulltext/indexer/segment_manager.h"

#include <algorithm>

namespace fendral::indexer {

void SegmentManager::add_entry(SegmentEntry entry) {
  std::lock_guard lock(mu_);
  uncommitted_.push_back(std::move(entry));
}

std::vector<SegmentEntry> SegmentManager::entries() const {
  std::lock_guard lock(mu_);
  std::vector<SegmentEntry> out = uncommitted_;
  out.insert(out.end(), committed_.begin(), committed_.end());
  return out;
}

void SegmentManager::commit(std::vector<SegmentEntry> entries) {
  std::lock_guard lock(mu_);
  uncommitted_.clear();
  committed_ = std::move(entries);
}

void SegmentManager::remove_all_segments() {
  std::lock_guard lock(mu_);
  uncommitted_.clear();
  committed_.clear();
}

void SegmentManager::drop_empty_segments() {
  std::lock_guard lock(mu_);
  std::erase_if(committed_, [](const SegmentEntry& e) { return e.meta.num_deleted_docs() == e.meta.max_doc(); });
}

std::vector<index::SegmentMeta> SegmentManager::committed_metas() const {
  std::lock_guard lock(mu_);
  std::vector<index::SegmentMeta> out;
  for (const auto& e : committed_) out.push_back(e.meta);
  return out;
}

}  // namespace fendral::indexer
