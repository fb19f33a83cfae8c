#include "fulltext/indexer/segment_manager.h"

#include <algorithm>
#include <fmt/format.h>

#include "common/log.h"

namespace fendral::indexer {
namespace {

using Register = std::vector<SegmentEntry>;

const SegmentEntry* find(const Register& r, const index::SegmentId& id) {
  for (const auto& e : r) {
    if (e.meta.id() == id) return &e;
  }
  return nullptr;
}

bool holds_all(const Register& r, const std::vector<index::SegmentId>& ids) {
  return !r.empty() && std::all_of(ids.begin(), ids.end(), [&](const auto& id) { return find(r, id) != nullptr; });
}

std::vector<index::SegmentId> ids_of(const Register& r) {
  std::vector<index::SegmentId> out;
  for (const auto& e : r) out.push_back(e.meta.id());
  return out;
}

}  // namespace

std::string segment_ids_debug(const std::vector<index::SegmentId>& ids) {
  std::string out = "[";
  for (size_t i = 0; i < ids.size(); ++i) out += (i ? ", " : "") + ids[i].debug();
  return out + "]";
}

void SegmentManager::add_entry(SegmentEntry entry) {
  std::lock_guard lock(mu_);
  std::erase_if(uncommitted_, [&](const SegmentEntry& e) { return e.meta.id() == entry.meta.id(); });
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

SegmentManager::Mergeable SegmentManager::mergeable_segments(const std::set<index::SegmentId>& in_merge) const {
  std::lock_guard lock(mu_);
  Mergeable out;
  for (const auto& e : committed_) {
    if (!in_merge.contains(e.meta.id())) out.committed.push_back(e.meta);
  }
  for (const auto& e : uncommitted_) {
    if (!in_merge.contains(e.meta.id())) out.uncommitted.push_back(e.meta);
  }
  return out;
}

Result<std::vector<SegmentEntry>> SegmentManager::entries_for_merge(const std::vector<index::SegmentId>& ids) const {
  std::lock_guard lock(mu_);
  const Register* r = holds_all(uncommitted_, ids) ? &uncommitted_ : holds_all(committed_, ids) ? &committed_ : nullptr;
  if (!r) {
    return fail(FendralError::invalid_argument(
        "Merge operation sent for segments that are not all uncommitted or committed."));
  }
  std::vector<SegmentEntry> out;
  for (const auto& id : ids) out.push_back(*find(*r, id));
  return out;
}

Result<bool> SegmentManager::replace_merged(const std::vector<index::SegmentId>& ids,
                                            std::optional<SegmentEntry> merged) {
  std::lock_guard lock(mu_);
  Register* r = holds_all(uncommitted_, ids) ? &uncommitted_ : holds_all(committed_, ids) ? &committed_ : nullptr;
  if (!r) {
    ZLOG(Warn, "fendral::indexer::segment_manager", "segment_ids: {}, committed_ids: {}, uncommitted_ids {}",
         segment_ids_debug(ids), segment_ids_debug(ids_of(committed_)), segment_ids_debug(ids_of(uncommitted_)));
    ZLOG(Warn, "fendral::indexer::segment_manager", "couldn't find segment in SegmentManager");
    return fail(FendralError::invalid_argument(
        "The segments that were merged could not be found in the SegmentManager. This is not necessarily a bug, and "
        "can happen after a rollback for instance."));
  }
  std::erase_if(*r, [&](const SegmentEntry& e) { return std::find(ids.begin(), ids.end(), e.meta.id()) != ids.end(); });
  if (merged) r->push_back(std::move(*merged));
  return r == &committed_;
}

}  // namespace fendral::indexer
